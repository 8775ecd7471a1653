#pragma once

#include <QByteArray>

#include <cstdint>

class UiScheduler;

// What a program shows of the polled servo (the window: its edit, register and status views).
// The scheduler is handed them and reaches them without knowing their widgets; a program without
// views hands none and the scheduler shows nothing.
class ServoViews
{
public:
    // A new scheduler: the views connect their writes and their reactions to its signals.
    virtual void attach(UiScheduler& scheduler) = 0;
    // A valid read-all answer, before it is announced as a live sample.
    virtual void showAnswer(const QByteArray& response) = 0;
    // A poll the servo refused still tells what went wrong.
    virtual void showRefusal(uint8_t errorByte) = 0;

protected:
    ~ServoViews() = default;
};
