#include "InterfaceInfo.h"

#include "InterfaceQuery.h"

void TNetInterfaceList::Refresh() noexcept
{
    try {
        const std::optional<std::vector<TInterfaceRecord>> Records = QueryInterfaces();
        if (!Records)
            return;
        for (const TInterfaceRecord &Record : *Records) {
            auto Params = std::make_unique<TInterfaceParams>();
            Params->Name = Record.Name;
            Params->Netmask = Record.Netmask;
            Params->Broadcast = Record.Broadcast;
            Params->IsUp = (Record.Flags & iffUp) != 0;
            Params->IsBroadcast = (Record.Flags & iffBroadcast) != 0;
            Params->IsLoopBack = (Record.Flags & iffLoopBack) != 0;
            Params->IsPPP = (Record.Flags & iffPointToPoint) != 0;

            // Each switch lifts its own condition only.
            if (!Params->IsUp && !FUseDown)
                continue;
            if (Params->IsLoopBack && !FUseLoopBack)
                continue;
            if (Params->IsPPP && !FUsePPP)
                continue;
            FEntries.emplace_back(Record.Address, std::move(Params));
        }
    } catch (...) {
        // The caller learns of trouble only through a short or empty list; what was
        // appended before the failure stays.
    }
}
