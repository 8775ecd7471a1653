#pragma once

#include <QToolButton>

#include <functional>

// The two buttons of an editable group: Edit/Apply and Cancel.
enum class GroupButtonType : int
{
    EditSave = 0,
    Cancel = 1,
};

class VelkoraGroupToolButton : public QToolButton
{
    Q_OBJECT

public:
    explicit VelkoraGroupToolButton(QWidget* parent = nullptr);

    void setButtonType(GroupButtonType type) { _buttonType = type; }
    GroupButtonType buttonType() const { return _buttonType; }
    int referenceCount() const { return _referenceCount; }

    // Collects the group's write request (set by the group logic).
    std::function<void()> requestHandler;
    // Whether a field of the group holds a value that cannot be written (set by the group logic).
    std::function<bool()> applyBlocked;

public slots:
    // A field of the group became dirty (true) or clean (false); Apply is enabled exactly
    // while some field is dirty and none holds a value outside its range.
    void incrementReferenceCount(bool up);
    void clearReferenceCount();
    // A field's value went out of its range or came back.
    void refreshApply();

private:
    GroupButtonType _buttonType = GroupButtonType::EditSave;
    int _referenceCount = 0;
};
