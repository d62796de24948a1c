// libFuzzer target: station.toml of any content, what the station makes of
// its [access] entries (allow list and bind address), and the machine
// settings writer editing it.
#include <cstdint>
#include <string>

#include "core/net/AccessList.h"
#include "core/settings/StationSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> messages;
    tav::StationSettings s = tav::ParseStationSettings(text, "station.toml", &messages);
    tav::AccessList list = tav::AccessList::FromEntries(s.access.allow, "allow", &messages);
    bool ok = false;
    tav::BindAddressFrom(s.access.bind, "bind", &ok, &messages);
    // The same text as a --allow argument.
    tav::AccessList::FromEntries(tav::SplitCommaList(text), "--allow", &messages);
    tav::MachineSettings machine;
    machine.address = 5;
    machine.name = "泵";
    machine.bearings = {{"DE", 8, 15.875, 65, 0}, {"", 9, 7.9, 38.5, 15}};
    tav::EditMachineTable(text, machine);
    for (const auto &n : list.Networks())
        if ((n.address & ~n.mask) != 0 || !list.Allows(n.address))
            __builtin_trap();
    return 0;
}
