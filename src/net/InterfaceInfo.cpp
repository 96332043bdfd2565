#include "InterfaceInfo.h"

#include "InterfaceQuery.h"
#include "LocalAddresses.h"

void TNetInterfaceList::Refresh() noexcept
{
    try {
        const std::optional<std::vector<TInterfaceRecord>> Records = QueryInterfaces();
        if (!Records)
            return;
        for (const TInterfaceRecord &Record : *Records) {
            const std::optional<TLocalAddress> Local = LocalAddressFrom(Record);
            if (!Local || !Local->Passes(FUseDown, FUseLoopBack, FUsePPP))
                continue;
            auto Params = std::make_unique<TInterfaceParams>();
            Params->Name = QString::fromStdString(Record.Name);
            Params->Netmask = QString::fromStdString(Record.Netmask);
            Params->Broadcast = QString::fromStdString(Record.Broadcast);
            Params->IsUp = Local->IsUp;
            Params->IsBroadcast = (Record.Flags & iffBroadcast) != 0;
            Params->IsLoopBack = Local->IsLoopBack;
            Params->IsPPP = Local->IsPPP;
            FEntries.emplace_back(QString::fromStdString(Record.Address), std::move(Params));
        }
    } catch (...) {
        // The caller learns of trouble only through a short or empty list; what was
        // appended before the failure stays.
    }
}
