#pragma once

#include <QString>

#include <memory>
#include <utility>
#include <vector>

// Parameters of one listed interface; its own address is the text of the entry that owns it.
class TInterfaceParams
{
public:
    QString Name; // the system's name for the interface, for people and scripts to pick it by
    QString Netmask;
    QString Broadcast; // empty when the system reports none
    bool IsUp = false;
    bool IsBroadcast = false;
    bool IsLoopBack = false;
    bool IsPPP = false;
};

// The PC's IPv4 interfaces in the system's order, filtered by three switches.
// Owns the parameter object of every entry; destruction releases them all.
class TNetInterfaceList
{
public:
    TNetInterfaceList() = default;
    TNetInterfaceList(const TNetInterfaceList &) = delete;
    TNetInterfaceList &operator=(const TNetInterfaceList &) = delete;
    ~TNetInterfaceList() = default;

    bool UseDown() const { return FUseDown; }
    void SetUseDown(bool Value) { FUseDown = Value; }
    bool UseLoopBack() const { return FUseLoopBack; }
    void SetUseLoopBack(bool Value) { FUseLoopBack = Value; }
    bool UsePPP() const { return FUsePPP; }
    void SetUsePPP(bool Value) { FUsePPP = Value; }

    // Appends the interfaces that pass the filter; never throws.
    void Refresh() noexcept;

    int Count() const { return static_cast<int>(FEntries.size()); }
    const QString &Strings(int Index) const { return FEntries.at(Index).first; }
    const TInterfaceParams *Objects(int Index) const { return FEntries.at(Index).second.get(); }

private:
    bool FUseDown = false;
    bool FUseLoopBack = false;
    bool FUsePPP = false;
    std::vector<std::pair<QString, std::unique_ptr<TInterfaceParams>>> FEntries;
};
