#pragma once

#include "cli/arguments.h"
#include "cli/commandcontext.h"

#include "core/files/servoconfiguration.h"
#include "core/model/groupwrite.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <map>

// The commands of velkora-servo, one function each, grouped by family. Each takes its own words,
// gives the exit status, and throws UsageError for words it cannot run as given.
namespace cli {

// The bus and its ports (buscommands.cpp).
int portsCommand(CommandContext& context, Arguments& arguments);
int scanCommand(CommandContext& context, Arguments& arguments);
int numberCommand(CommandContext& context, Arguments& arguments); // numbercommand.cpp
int doctorCommand(CommandContext& context, Arguments& arguments); // doctorcommand.cpp

// Reading one servo (readcommands.cpp).
int infoCommand(CommandContext& context, Arguments& arguments);
int fieldsCommand(CommandContext& context, Arguments& arguments);
int keysCommand(CommandContext& context, Arguments& arguments);
int modelsCommand(CommandContext& context, Arguments& arguments);
int getCommand(CommandContext& context, Arguments& arguments);
int dumpCommand(CommandContext& context, Arguments& arguments);
int watchCommand(CommandContext& context, Arguments& arguments);

// Reading several servos of one port together (groupcommands.cpp): dump and watch with --ids.
int dumpGroupCommand(CommandContext& context, Arguments& arguments, const QList<int>& ids);
int watchGroupCommand(CommandContext& context, Arguments& arguments, const QList<int>& ids);

// Writing one servo (writecommands.cpp, maintenancecommands.cpp).
int setCommand(CommandContext& context, Arguments& arguments);
int rebootCommand(CommandContext& context, Arguments& arguments);
int resetCommand(CommandContext& context, Arguments& arguments);

// Configuration files (filecommands.cpp, restorecommand.cpp).
int saveCommand(CommandContext& context, Arguments& arguments);
int restoreCommand(CommandContext& context, Arguments& arguments);
int offCommand(CommandContext& context, Arguments& arguments);
int diffCommand(CommandContext& context, Arguments& arguments);

// Shared by set and restore (writecommands.cpp).
// Writes `values` (raw by key) as the window does and says per key what the servo holds then.
int writeAndReport(CommandContext& context, const std::map<QString, int>& values,
                   const QList<GroupWrite>& writes);
// The keys of `values` the servo takes only while its motor is off, when it is on.
QStringList motorRefuses(const CommandContext& context, const std::map<QString, int>& values);
// Says why nothing is written when the motor is on and `values` holds such keys; true then.
bool refuseWhileMotorOn(const CommandContext& context, const std::map<QString, int>& values);

// Shared by the file commands (filecommands.cpp).
// A configuration file read for `catalogue`; throws UsageError for a file that cannot be used.
ServoConfiguration readConfigurationFile(const QString& path, const FieldCatalogue& catalogue, int model,
                                         int firmware);
// A configuration file read for the connected servo.
ServoConfiguration readConfigurationFileForServo(const CommandContext& context, const QString& path);

} // namespace cli
