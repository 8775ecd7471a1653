#include "core/jobs/busdoctor.h"

#include "core/model/modelregistry.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("BusDoctor", text);
}

using Verdict = DoctorFinding::Verdict;

} // namespace

DoctorReport::Status DoctorReport::status() const
{
    if (portFailed)
        return PortFailed;
    if (servos.isEmpty() && collidedIds.isEmpty())
        return NoServo;
    return problemCount() > 0 ? ProblemFound : Healthy;
}

int DoctorReport::problemCount() const
{
    return int(std::count_if(findings.cbegin(), findings.cend(),
                             [](const DoctorFinding& finding) { return finding.isProblem(); }));
}

QString DoctorReport::findingText(const DoctorFinding& finding)
{
    const QString word = finding.verdict == Verdict::Problem ? tr("PROBLEM")
                         : finding.verdict == Verdict::Note  ? tr("note")
                                                             : tr("ok");
    QString text = QStringLiteral("[%1] %2: %3\n").arg(word, finding.check, finding.text);
    // A fix of several lines (a command, then a rule to keep) keeps its lines under the first.
    const QStringList fix = finding.fix.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = 0; i < fix.size(); ++i)
        text += (i == 0 ? tr("    fix: ") : QStringLiteral("         ")) + fix.at(i) + QLatin1Char('\n');
    return text;
}

QString DoctorReport::text() const
{
    QString text = tr("Bus doctor on %1\n").arg(portName);
    for (const DoctorFinding& finding : findings)
        text += findingText(finding);
    text += summary() + QLatin1Char('\n');
    return text;
}

QString DoctorReport::summary() const
{
    switch (status()) {
    case PortFailed:
        return tr("The port cannot be opened.");
    case NoServo:
        return stopped ? tr("Stopped before a servo answered.") : tr("No servo answered.");
    case ProblemFound:
        return problemCount() == 1 ? tr("1 problem found.") : tr("%1 problems found.").arg(problemCount());
    case Healthy:
        break;
    }
    return servos.size() == 1 ? tr("1 servo found, nothing wrong.")
                              : tr("%1 servos found, nothing wrong.").arg(servos.size());
}

QByteArray DoctorReport::json() const
{
    static const char* const verdicts[] = {"fine", "note", "problem"};
    QJsonArray findingArray;
    for (const DoctorFinding& finding : findings)
        findingArray.append(QJsonObject{{QStringLiteral("check"), finding.check},
                                        {QStringLiteral("verdict"), verdicts[int(finding.verdict)]},
                                        {QStringLiteral("text"), finding.text},
                                        {QStringLiteral("fix"), finding.fix}});
    const auto servoObject = [](const FoundServo& servo) {
        const auto model = ModelRegistry::shared().byNumber(servo.modelNumber);
        return QJsonObject{{QStringLiteral("id"), servo.id},
                           {QStringLiteral("baudRate"), servo.baudRate},
                           {QStringLiteral("protocol"), protocolWord(servo.protocol)},
                           {QStringLiteral("modelNumber"), servo.modelNumber},
                           {QStringLiteral("model"), model ? model->name : QString()},
                           {QStringLiteral("firmware"), servo.firmware}};
    };
    QJsonArray servoArray;
    for (const FoundServo& servo : servos)
        servoArray.append(servoObject(servo));
    QJsonArray collided;
    for (int id : collidedIds)
        collided.append(id);
    QJsonObject root{{QStringLiteral("port"), portName},         {QStringLiteral("status"), int(status())},
                     {QStringLiteral("summary"), summary()},     {QStringLiteral("stopped"), stopped},
                     {QStringLiteral("findings"), findingArray}, {QStringLiteral("servos"), servoArray},
                     {QStringLiteral("sharedIds"), collided}};
    root.insert(QStringLiteral("elsewhere"), elsewhere ? QJsonValue(servoObject(*elsewhere)) : QJsonValue());
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
