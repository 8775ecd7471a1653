#pragma once

#include <QObject>

#include <memory>

class IDevice;

// The model of the servo the program is connected to, as identification found it. The views
// that follow the servo ask it for the model and hear when one is loaded; whoever identifies
// the servo loads it.
class ModelSource : public QObject
{
    Q_OBJECT

public:
    explicit ModelSource(QObject* parent = nullptr);

    // Empty until a servo was identified; the last model stays after Disconnect.
    std::shared_ptr<IDevice> device() const { return _device; }
    // Takes the model identification found and announces it, also when it is the model before.
    void load(std::shared_ptr<IDevice> device);

signals:
    void loaded();

private:
    std::shared_ptr<IDevice> _device;
};
