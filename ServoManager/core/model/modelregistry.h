#pragma once

#include "core/model/modeldescription.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class IDevice;

// Every servo model the program knows: the descriptions built into it, then the files of the
// user's folders, which add models or replace a built-in one of the same name. A file with a
// fault is refused whole and listed with why; the others still load.
class ModelRegistry
{
public:
    struct Model
    {
        std::shared_ptr<const ModelDescription> description;
        QString file;      // ":/models/v1.json" or the user's file
        QString overrides; // the built-in file it replaces; empty when it replaces none
    };
    struct Refused
    {
        QString file;
        QString problem; // names the file, the entry and why
    };

    // Only the built-in descriptions.
    ModelRegistry();
    // The built-in descriptions, then every *.json of `folders` in order (a missing folder is none).
    explicit ModelRegistry(const QStringList& folders);

    const QList<Model>& models() const { return _models; }
    const QList<Refused>& refused() const { return _refused; }
    std::shared_ptr<const ModelDescription> byName(const QString& name) const;
    // Empty when no description lists the number.
    std::shared_ptr<const ModelDescription> byNumber(int modelNumber) const;
    // A file name or a model's name, as --model and --as take them; empty with `problem` set.
    std::shared_ptr<const ModelDescription> find(const QString& nameOrFile, QString* problem) const;
    QStringList names() const;
    // What the first `identityBytes` of a servo's table (from address 0) say of it, read where the
    // models of its protocol keep their model number, in their byte order (Feetech servos keep it
    // at 3, some big-endian): the first model of `protocol` that knows the number read by its own
    // layout; asked in Protocol 1 with none, a model of its Feetech flavour (the same packets) that
    // knows the number where it keeps it; with none either, the number where
    // the protocol's models keep it first, and the model of another protocol keeping it there.
    struct Identity
    {
        int modelNumber = -1;
        int firmware = -1;
        std::shared_ptr<const ModelDescription> model;
        int protocol = 0; // the protocol whose model it is: the one asked in, or Feetech
    };
    static constexpr int identityBytes = 7;
    Identity identify(const QByteArray& table, int protocol) const;
    // Every rate a known model's baud register selects, slowest first.
    QList<int> baudRates() const;
    // The rates servos of the known models leave the factory at, slowest first.
    QList<int> factoryBaudRates() const;

    // The user's own folder of descriptions.
    static QString userFolder();

    // The registry of this process: the built-ins and the user's folder until `use` replaces it
    // (at start-up, with --models; tests, with a folder of their own).
    static const ModelRegistry& shared();
    static void use(const QStringList& folders);

private:
    void add(const QByteArray& json, const QString& file, bool builtIn);
    // The first model of `protocol` that knows the number read where it keeps it.
    std::shared_ptr<const ModelDescription> knownIn(const QByteArray& table, int protocol,
                                                    int* modelNumber) const;
    void loadFolder(const QString& folder);

    QList<Model> _models;
    QList<Refused> _refused;
};

// The baud rates the program offers: those of every known model, slowest first.
QList<int> offeredBaudRates();

// A model built from the description, for the request layer and the views.
std::shared_ptr<IDevice> deviceOf(std::shared_ptr<const ModelDescription> description);
