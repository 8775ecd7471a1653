// The shape of the code, read from its includes: every include names its folder from the one
// include root, a core folder includes only its own rank or lower ones, no two folders include
// each other (directly or around a circle), the two faces never include each other, and nothing
// in the core reads a class-wide instance.
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

// A source file: its path from the include root and its text.
using Sources = QMap<QString, QString>;

// Lower ranks are used by higher ones, never the other way round. Folders of one rank may use
// each other as long as no circle forms.
int rankOf(const QString& folder)
{
    static const QHash<QString, int> ranks{
        {"core/protocol", 0}, {"core/units", 0},  {"core/settings", 0}, {"core/model", 1},
        {"core/traffic", 1},  {"core/transport", 2}, {"core/session", 3}, {"core/files", 3},
        {"core/jobs", 4},     {"core/launch", 5}};
    if (ranks.contains(folder))
        return ranks.value(folder);
    if (folder == "cli" || folder == "window" || folder.startsWith("window/"))
        return 6;
    return -1;
}

QString folderOf(const QString& path)
{
    return path.left(path.lastIndexOf('/'));
}

QString faceOf(const QString& folder)
{
    return folder.section('/', 0, 0);
}

// Every include of a source written with quotes, with its line number.
QList<QPair<int, QString>> includesOf(const QString& text)
{
    static const QRegularExpression include(R"re(^[ \t]*#[ \t]*include\s+"([^"]+)")re",
                                            QRegularExpression::MultilineOption);
    QList<QPair<int, QString>> found;
    auto it = include.globalMatch(text);
    while (it.hasNext()) {
        const auto match = it.next();
        const int line = text.left(match.capturedStart()).count('\n') + 1;
        found.append({line, match.captured(1)});
    }
    return found;
}

// A circle of folders, each including the next, or empty when there is none.
QStringList findCircle(const QMap<QString, QSet<QString>>& uses)
{
    QHash<QString, int> state; // 0 unseen, 1 on the path, 2 done
    QStringList path;
    QStringList circle;
    std::function<bool(const QString&)> visit = [&](const QString& folder) {
        state[folder] = 1;
        path.append(folder);
        QStringList next = uses.value(folder).values();
        next.sort();
        for (const QString& used : next) {
            if (state.value(used) == 1) {
                circle = path.mid(path.indexOf(used));
                circle.append(used);
                return true;
            }
            if (state.value(used) == 0 && visit(used))
                return true;
        }
        path.removeLast();
        state[folder] = 2;
        return false;
    };
    for (auto it = uses.cbegin(); it != uses.cend(); ++it)
        if (state.value(it.key()) == 0 && visit(it.key()))
            return circle;
    return {};
}

// Everything wrong with the sources, one line each.
QStringList violations(const Sources& sources)
{
    static const QRegularExpression instance(R"(\b_instance\b)");
    static const QRegularExpression declaration(R"(^\s*static\s[^;(]*\b_instance\s*;\s*$)");
    QStringList found;
    QMap<QString, QSet<QString>> uses;
    for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
        const QString& file = it.key();
        const QString from = folderOf(file);
        if (rankOf(from) < 0)
            found.append(QString("%1: a folder outside the layers").arg(file));
        for (const auto& [line, include] : includesOf(it.value())) {
            const QString where = QString("%1:%2").arg(file).arg(line);
            // Forms compiled into headers are named as the form compiler names them.
            if (include.startsWith("ui_") && !include.contains('/'))
                continue;
            if (!sources.contains(include)) {
                found.append(QString("%1: \"%2\" does not name a file from the include root")
                                 .arg(where, include));
                continue;
            }
            const QString to = folderOf(include);
            if (to == from)
                continue;
            uses[from].insert(to);
            if (rankOf(to) > rankOf(from))
                found.append(QString("%1: %2 includes upwards from %3").arg(where, from, to));
            else if (faceOf(from) != "core" && faceOf(to) != "core" && faceOf(from) != faceOf(to))
                found.append(QString("%1: %2 and %3 are two faces").arg(where, from, to));
        }
        if (file.startsWith("core/")) {
            const QStringList lines = it.value().split('\n');
            for (int i = 0; i < lines.size(); ++i)
                if (lines[i].contains(instance) && !lines[i].contains(declaration))
                    found.append(QString("%1:%2: the core reads a class-wide instance").arg(file).arg(i + 1));
        }
    }
    const QStringList circle = findCircle(uses);
    if (!circle.isEmpty())
        found.append(QString("folders include each other: %1").arg(circle.join(" -> ")));
    return found;
}

Sources readTree(const QString& root)
{
    Sources sources;
    QDirIterator it(root, {"*.h", "*.cpp"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            sources.insert(QDir(root).relativeFilePath(file.fileName()), QString::fromUtf8(file.readAll()));
    }
    return sources;
}

} // namespace

class TestArchitecture : public QObject
{
    Q_OBJECT

private slots:
    // The checker itself, on small made-up trees: each row is one fault it must name (or none).
    void rules_data()
    {
        QTest::addColumn<Sources>("sources");
        QTest::addColumn<QString>("expected");

        const QString frame = "core/protocol/frame.h";
        QTest::newRow("clean") << Sources{{frame, ""},
                                          {"core/model/servo.h", "#include \"core/protocol/frame.h\"\n"},
                                          {"window/editview/view.cpp", "#include \"ui_view.h\"\n"
                                                                       "#include \"core/model/servo.h\"\n"}}
                               << QString();
        QTest::newRow("upward") << Sources{{frame, "\n#include \"core/session/poll.h\"\n"},
                                           {"core/session/poll.h", ""}}
                                << "core/protocol/frame.h:2: core/protocol includes upwards from core/session";
        QTest::newRow("core into a face") << Sources{{frame, "#include \"window/mainwindow.h\"\n"},
                                                     {"window/mainwindow.h", ""}}
                                          << "core/protocol/frame.h:1: core/protocol includes upwards from window";
        QTest::newRow("two faces") << Sources{{"cli/tool.cpp", "#include \"window/docks/plot.h\"\n"},
                                              {"window/docks/plot.h", ""}}
                                   << "cli/tool.cpp:1: cli and window/docks are two faces";
        QTest::newRow("no folder") << Sources{{"core/model/servo.h", "#include \"frame.h\"\n"},
                                              {frame, ""}}
                                   << "core/model/servo.h:1: \"frame.h\" does not name a file from the include root";
        QTest::newRow("circle of one rank")
            << Sources{{"core/units/a.h", "#include \"core/settings/b.h\"\n"},
                       {"core/settings/b.h", "#include \"core/units/a.h\"\n"}}
            << "folders include each other: core/settings -> core/units -> core/settings";
        QTest::newRow("circle among window rooms")
            << Sources{{"window/mainwindow.h", "#include \"window/editview/view.h\"\n"},
                       {"window/editview/view.h", "#include \"window/widgets/box.h\"\n"},
                       {"window/widgets/box.h", "#include \"window/mainwindow.h\"\n"}}
            << "folders include each other: window -> window/editview -> window/widgets -> window";
        QTest::newRow("instance read in the core")
            << Sources{{"core/session/poll.cpp", "void f()\n{\n    if (Helper::_instance) {}\n}\n"}}
            << "core/session/poll.cpp:3: the core reads a class-wide instance";
        QTest::newRow("instance declared in the core, read in the window")
            << Sources{{"core/session/helper.h", "class Helper {\n    static std::shared_ptr<Helper> _instance;\n};\n"},
                       {"window/mainwindow.cpp", "#include \"core/session/helper.h\"\nauto h = Helper::_instance;\n"}}
            << QString();
        QTest::newRow("outside the layers") << Sources{{"core/misc/x.h", ""}}
                                            << "core/misc/x.h: a folder outside the layers";
    }
    void rules()
    {
        QFETCH(Sources, sources);
        QFETCH(QString, expected);
        QCOMPARE(violations(sources), expected.isEmpty() ? QStringList() : QStringList{expected});
    }

    // The program's own sources keep the rules.
    void sourceTree()
    {
        const Sources sources = readTree(VSM_SOURCE_ROOT);
        // Guards against reading the wrong folder and passing on nothing.
        QVERIFY2(sources.size() > 100, qPrintable(QString("only %1 sources").arg(sources.size())));
        QVERIFY(sources.contains("core/session/uischeduler.h"));
        const QStringList found = violations(sources);
        QVERIFY2(found.isEmpty(), qPrintable("\n" + found.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestArchitecture)
#include "tst_architecture.moc"
