#pragma once

#include "window/widgets/fieldinterfaces.h"

#include <QList>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class QObject;

// Every field of the edit view by object name, for code outside the form (the mode
// controllers). Built once from the first edit view.
class FieldHelper
{
public:
    static std::shared_ptr<FieldHelper> _instance;
    // The first call builds the registry from `objects`; later calls return it unchanged.
    static std::shared_ptr<FieldHelper> getInstance(const QList<QObject*>* objects);

    explicit FieldHelper(const QList<QObject*>* objects);

    void buildVelkoraFieldList(const QList<QObject*>* objects);
    // Null for a name that is not registered.
    IVelkoraField* getEditViewField(QString name) const;
    const std::vector<IVelkoraField*>& fields() const { return _fields; }

private:
    std::vector<IVelkoraField*> _fields;
    // The mode controllers look fields up at every poll; the first field of a name wins.
    std::map<QString, IVelkoraField*> _byName;
};
