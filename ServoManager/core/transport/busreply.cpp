#include "core/transport/busreply.h"

#include <QPointer>

BusReply::BusReply(SerialHelper& serial, const BusRequest& request, QObject* parent) : QObject(parent)
{
    QPointer<BusReply> self(this);
    _sent = serial.submit(request, [self](const BusResult& result) {
        if (!self || self->_finished)
            return;
        self->_result = result;
        self->_finished = true;
        emit self->finished();
    });
}
