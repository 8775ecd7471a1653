#include "window/widgets/velkoraparametersgroupbox.h"

#include "window/widgets/velkoragrouptoolbutton.h"

#include <QIcon>
#include <QSignalBlocker>

VelkoraParametersGroupBox::VelkoraParametersGroupBox(QWidget* parent) : QGroupBox(parent) {}

void VelkoraParametersGroupBox::connected(const ModelSource* model)
{
    showData(model, true);
}

void VelkoraParametersGroupBox::disconnected()
{
    showData(nullptr, false);
    if (isEditableGroupBox() && isEditing)
        cancelGroupEdits();
}

void VelkoraParametersGroupBox::showData(const ModelSource* model, bool on)
{
    for (QObject* child : children()) {
        auto* connectInfo = dynamic_cast<IConnectInfo*>(child);
        if (!connectInfo || !dynamic_cast<IVelkoraField*>(child))
            continue;
        if (on)
            connectInfo->connected(model);
        else
            connectInfo->disconnected();
    }
    update();
}

bool VelkoraParametersGroupBox::isEditableGroupBox() const
{
    return findChild<VelkoraGroupToolButton*>(QString(), Qt::FindDirectChildrenOnly) != nullptr;
}

void VelkoraParametersGroupBox::cancelGroupEdits()
{
    isEditing = false;
    for (QObject* child : children()) {
        if (auto* input = dynamic_cast<IGroupInputComponent*>(child))
            input->cancelUpdate();
    }
    for (auto* button : findChildren<VelkoraGroupToolButton*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (button->buttonType() == GroupButtonType::Cancel) {
            button->setEnabled(false);
            continue;
        }
        // Leaving the edit without the toggle handler: nothing is applied.
        const QSignalBlocker blocker(button);
        button->setChecked(false);
        button->setIcon(QIcon(QStringLiteral(":/images/edit.png")));
        button->setText(tr("Edit"));
        button->clearReferenceCount();
    }
    emit editsCancelled();
}
