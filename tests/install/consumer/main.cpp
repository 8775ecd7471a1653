// Lists the machine's serial ports through an installed libKestrabus, then exits.
#include <kestrabus.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    Kestrabus bus(nullptr, 2);
    const std::vector<std::shared_ptr<SerialPortItem>> ports = bus.getSerialPortList();
    for (const auto& port : ports)
        std::printf("%s\t%s\n", qPrintable(port->getSystemLocation()), qPrintable(port->getDescription()));
    std::printf("%zu serial ports\n", ports.size());
    return 0;
}
