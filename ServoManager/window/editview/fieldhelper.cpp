#include "window/editview/fieldhelper.h"

#include <QObject>

std::shared_ptr<FieldHelper> FieldHelper::_instance;

std::shared_ptr<FieldHelper> FieldHelper::getInstance(const QList<QObject*>* objects)
{
    if (!_instance)
        _instance = std::make_shared<FieldHelper>(objects);
    return _instance;
}

FieldHelper::FieldHelper(const QList<QObject*>* objects)
{
    buildVelkoraFieldList(objects);
}

// Depth first, in child order; a field's own children are not searched.
void FieldHelper::buildVelkoraFieldList(const QList<QObject*>* objects)
{
    if (!objects)
        return;
    for (QObject* object : *objects) {
        if (auto* field = dynamic_cast<IVelkoraField*>(object)) {
            _fields.push_back(field);
            _byName.emplace(field->objectName(), field);
            continue;
        }
        const QList<QObject*> children = object->children();
        buildVelkoraFieldList(&children);
    }
}

IVelkoraField* FieldHelper::getEditViewField(QString name) const
{
    const auto it = _byName.find(name);
    return it == _byName.end() ? nullptr : it->second;
}
