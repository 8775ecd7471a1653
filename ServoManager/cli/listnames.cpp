#include "cli/listnames.h"

#include <QFile>
#include <QHash>
#include <QStringList>
#include <QXmlStreamReader>

// The form comes in a static library's resource, which the linker keeps only when it is named.
static void initFormResource()
{
    Q_INIT_RESOURCE(listnames);
}

namespace {

// Every combo box of the edit view's form with its items, the placeholder "-" that ends each
// list left out: it stands for no value.
QHash<QString, QStringList> readLists()
{
    initFormResource();
    QHash<QString, QStringList> lists;
    QFile form(QStringLiteral(":/velkora-servo/editview.ui"));
    if (!form.open(QIODevice::ReadOnly))
        return lists;
    QXmlStreamReader xml(&form);
    QString list;     // the combo box being read
    int listDepth = 0; // its widget element's depth
    int depth = 0;
    bool inItem = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            ++depth;
            const auto name = xml.name();
            if (name == QLatin1String("widget") && list.isEmpty() &&
                xml.attributes().value(QLatin1String("class")).endsWith(QLatin1String("ComboBox"))) {
                list = xml.attributes().value(QLatin1String("name")).toString();
                listDepth = depth;
                lists.insert(list, {});
            } else if (!list.isEmpty() && name == QLatin1String("item") && depth == listDepth + 1) {
                inItem = true;
            } else if (inItem && name == QLatin1String("string")) {
                lists[list] << xml.readElementText();
                --depth; // readElementText consumed the end element
            }
        } else if (xml.isEndElement()) {
            if (xml.name() == QLatin1String("item") && depth == listDepth + 1)
                inItem = false;
            if (!list.isEmpty() && depth == listDepth) {
                if (!lists[list].isEmpty() && lists[list].last() == QLatin1String("-"))
                    lists[list].removeLast();
                list.clear();
            }
            --depth;
        }
    }
    return lists;
}

const QStringList* listOf(const QString& field)
{
    // The baud rate is shown as its rate, not as an item.
    if (field == QLatin1String("baudRateComboBox"))
        return nullptr;
    static const QHash<QString, QStringList> lists = readLists();
    const auto it = lists.constFind(field);
    return it == lists.constEnd() ? nullptr : &it.value();
}

} // namespace

namespace listnames {

QString nameOf(const QString& field, int raw)
{
    const QStringList* items = listOf(field);
    if (!items)
        return {};
    return raw >= 0 && raw < items->size() ? items->at(raw) : QStringLiteral("Unknown (%1)").arg(raw);
}

QStringList namesOf(const QString& field)
{
    const QStringList* items = listOf(field);
    return items ? *items : QStringList();
}

int valueOf(const QString& field, const QString& name)
{
    const QStringList* items = listOf(field);
    if (!items)
        return -1;
    for (int i = 0; i < items->size(); ++i)
        if (items->at(i).compare(name.trimmed(), Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

} // namespace listnames
