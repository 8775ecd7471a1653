#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <cstdint>

// One value a write puts into the control table: the bits `mask` of the register of `size` bytes
// at `address`, in the model's byte order (a direction bit and its magnitude share one register).
struct WriteField
{
    QString name; // the edit view's field
    int address = 0;
    int size = 1;
    uint32_t value = 0;
    uint32_t mask = 0xFFFFFFFF;
    bool bigEndian = false; // the register's most significant byte first

    // The register's bits this field sets, as `table` (the control table from address 0) holds them.
    uint32_t heldIn(const QByteArray& table) const;

    bool operator==(const WriteField& other) const;
};

// What the servo held of a write's fields when it was read back.
struct WriteCheck
{
    int fieldsHeld = 0;   // fields that hold what was written
    int firstDiffering = -1; // index of the first field that does not; -1 when all do
    uint32_t held = 0;       // what that field holds

    bool allHeld() const { return firstDiffering < 0; }
};

// A write of the fields the user changed: one request over the span from the first to the last
// of their registers. The bytes between them are not decided when the user applies: they come
// from the newest table at the moment the write goes out, so a register nobody changed is only
// ever written with what the servo holds.
class GroupWrite
{
public:
    GroupWrite() = default;
    explicit GroupWrite(QList<WriteField> fields);

    bool isEmpty() const { return _fields.isEmpty(); }
    uint8_t address() const { return static_cast<uint8_t>(_address); }
    int length() const { return _length; }
    const QList<WriteField>& fields() const { return _fields; }
    const WriteField* field(const QString& name) const;

    // The bytes to send, over `table` (the control table from address 0; missing bytes are 0).
    QByteArray block(const QByteArray& table) const;
    // Compares each field's bits in `table` with what was written.
    WriteCheck check(const QByteArray& table) const;

    // The servo id or baud code the write gives the servo; -1 when it does not change them.
    int newId = -1;
    int newBaudCode = -1;
    int newBaudRate = 0; // the rate newBaudCode selects on the servo's model; 0: not known
    bool movesServo() const { return newId >= 0 || newBaudCode >= 0; }

    // The same fields with the same values, to the same place: how a writer knows its own write
    // among the outcomes.
    bool operator==(const GroupWrite& other) const;

private:
    QList<WriteField> _fields;
    int _address = 0;
    int _length = 0;
};

Q_DECLARE_METATYPE(GroupWrite)
