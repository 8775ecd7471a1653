#include "window/widgets/velkoragrouptoolbutton.h"

#include <algorithm>

VelkoraGroupToolButton::VelkoraGroupToolButton(QWidget* parent) : QToolButton(parent) {}

void VelkoraGroupToolButton::incrementReferenceCount(bool up)
{
    // Fields report changes of their state only, so the count cannot run below zero; the
    // guard keeps a stray report from enabling Apply with nothing changed.
    _referenceCount = std::max(0, _referenceCount + (up ? 1 : -1));
    refreshApply();
}

void VelkoraGroupToolButton::refreshApply()
{
    if (isChecked())
        setEnabled(_referenceCount != 0 && !(applyBlocked && applyBlocked()));
}

void VelkoraGroupToolButton::clearReferenceCount()
{
    _referenceCount = 0;
}
