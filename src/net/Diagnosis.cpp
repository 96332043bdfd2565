#include "Diagnosis.h"

#include "LocalAddresses.h"

TDiagnosis Diagnose(TIpv4 Local, TIpv4 Device, int SendError, int InterfaceError)
{
    TDiagnosis Found;
    if (Local != 0) {
        const std::optional<TLocalAddress> Interface = LocalAddressOf(Local);
        Found.AddressPresent = Interface.has_value();
        Found.Netmask = Interface ? Interface->Netmask : 0;
        Found.Link = QueryLinkState(Local);
        Found.GatewayLeadsThere = GatewayLeadsTo(Local, Device);
    }
    if (const std::optional<TLocalAddress> Own = LocalAddressOf(Device))
        Found.DeviceInterface = Own->Name;
    Found.Neighbour = QueryNeighbour(Local, Device);
    if (SendError != 0)
        Found.SendError = DescribeSystemError(SendError);
    if (InterfaceError != 0)
        Found.InterfaceError = DescribeSystemError(InterfaceError);
    return Found;
}
