#include "core/jobs/servocheck.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/hardwarestatus.h"
#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/protocol/linetime.h"

#include <QCoreApplication>

#include <optional>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("BusDoctor", text);
}

// A temperature this close to the limit is worth a note before the servo shuts down.
constexpr double nearLimitC = 5;
// A return delay shorter than this costs nothing worth saying.
constexpr int noticeableDelayUs = 20;

std::optional<double> physicalOf(const FieldCatalogue& catalogue, const QString& role,
                                 const QByteArray& table)
{
    const FieldRecord* field = catalogue.byRole(role);
    if (!field || table.size() < field->address + field->size)
        return std::nullopt;
    return field->toPhysical(field->rawIn(table));
}

DoctorFinding voltageFinding(int id, const FieldCatalogue& catalogue, const QByteArray& table)
{
    const QString check = tr("Supply of servo %1").arg(id);
    const auto voltage = physicalOf(catalogue, QStringLiteral("presentVoltage"), table);
    const auto low = physicalOf(catalogue, QStringLiteral("minVoltageLimit"), table);
    const auto high = physicalOf(catalogue, QStringLiteral("maxVoltageLimit"), table);
    if (!voltage)
        return {check,
                DoctorFinding::Verdict::Note,
                tr("Servo %1 does not report its supply voltage.").arg(id),
                {}};
    const QString value = QString::number(*voltage, 'f', 1);
    if (low && *voltage < *low)
        return {check, DoctorFinding::Verdict::Problem,
                tr("Servo %1 gets %2 V, below its lowest %3 V.").arg(id).arg(value).arg(*low, 0, 'f', 1),
                tr("Check the power supply: switched on, its voltage, and the cable to the servos.")};
    if (high && *voltage > *high)
        return {check, DoctorFinding::Verdict::Problem,
                tr("Servo %1 gets %2 V, above its highest %3 V.").arg(id).arg(value).arg(*high, 0, 'f', 1),
                tr("Use a supply within the servo's range.")};
    return {check, DoctorFinding::Verdict::Fine, tr("Servo %1 gets %2 V.").arg(id).arg(value), {}};
}

DoctorFinding temperatureFinding(int id, const FieldCatalogue& catalogue, const QByteArray& table)
{
    const QString check = tr("Temperature of servo %1").arg(id);
    const auto now = physicalOf(catalogue, QStringLiteral("presentTemperature"), table);
    const auto limit = physicalOf(catalogue, QStringLiteral("temperatureLimit"), table);
    if (!now)
        return {
            check, DoctorFinding::Verdict::Note, tr("Servo %1 does not report its temperature.").arg(id), {}};
    const QString text = tr("Servo %1 is at %2 °C").arg(id).arg(*now, 0, 'f', 0);
    if (limit && *now >= *limit - nearLimitC)
        return {check, DoctorFinding::Verdict::Problem,
                text + tr(", near its limit of %1 °C.").arg(*limit, 0, 'f', 0),
                tr("Let it cool down, and lower its load or the time it holds against one.")};
    return {check, DoctorFinding::Verdict::Fine, text + QLatin1Char('.'), {}};
}

} // namespace

QString servoCommand(const QString& portName, int id, int baudRate, BusProtocol protocol,
                     const QString& words)
{
    QString command = QStringLiteral("velkora-servo");
    if (!portName.isEmpty())
        command += QStringLiteral(" --port ") + portName;
    return command + QStringLiteral(" --protocol %1 --baud %2 --id %3 %4")
                         .arg(protocolWord(protocol))
                         .arg(baudRate)
                         .arg(id)
                         .arg(words);
}

QList<DoctorFinding> checkServo(int id, const std::shared_ptr<const ModelDescription>& model,
                                const QByteArray& table, int baudRate, int alarms, const QString& portName,
                                BusProtocol protocol)
{
    QList<DoctorFinding> findings;
    const std::shared_ptr<IDevice> device = deviceOf(model);
    if (!device)
        return findings;
    const FieldCatalogue catalogue(*device);
    findings << voltageFinding(id, catalogue, table);

    int bits = 0;
    const QStringList errors = hardwareErrorsOf(catalogue, table, &bits, alarms);
    if (!errors.isEmpty())
        findings << DoctorFinding{tr("Hardware errors of servo %1").arg(id), DoctorFinding::Verdict::Problem,
                                  tr("Servo %1 reports: %2.").arg(id).arg(errors.join(QStringLiteral(", "))),
                                  tr("Remove the cause (supply, load, heat), then reboot the servo (Servo → "
                                     "Reboot) to clear it.")};
    findings << temperatureFinding(id, catalogue, table);

    const FieldRecord* delayField = catalogue.byRole(QStringLiteral("returnDelay"));
    if (const auto delay = physicalOf(catalogue, QStringLiteral("returnDelay"), table);
        delay && *delay >= noticeableDelayUs) {
        // The time the shortest exchange (a read of one byte) takes on the line, for scale.
        const double lineUs = linetime::bytesUs(
            linetime::readRequestBytes(protocol) + linetime::readAnswerBytes(protocol, 1), baudRate);
        findings << DoctorFinding{
            tr("Return delay of servo %1").arg(id), DoctorFinding::Verdict::Note,
            tr("Servo %1 waits %2 µs before each answer: %3 % more than a short read "
               "takes on the line at %4 baud.")
                .arg(id)
                .arg(*delay, 0, 'f', 0)
                .arg(100.0 * *delay / lineUs, 0, 'f', 0)
                .arg(baudRate),
            servoCommand(portName, id, baudRate, protocol, QStringLiteral("set %1=0").arg(delayField->key))};
    }
    if (const FieldRecord* level = catalogue.byRole(QStringLiteral("statusReturnLevel"));
        level && table.size() >= level->address + level->size && level->rawIn(table) == 1)
        findings << DoctorFinding{
            tr("Status return level of servo %1").arg(id),
            DoctorFinding::Verdict::Note,
            tr("Servo %1 answers pings and reads only: its writes are confirmed by reading "
               "them back.")
                .arg(id),
            {}};
    return findings;
}
