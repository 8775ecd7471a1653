#pragma once

#include "device/idevice.h"

#include <vector>

// Where each model keeps the edit view's fields: the one list of the models' field addresses,
// without anything of the program's widgets, so the simulator can read it too.
std::vector<FieldRegister> velkoraV1FieldRegisters();
std::vector<FieldRegister> ax12FieldRegisters();
