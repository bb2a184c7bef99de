// Fuzzes the netplan document work on arbitrary YAML with settings drawn
// from the input. Beyond memory errors and unbounded recursion it checks that
// an update that succeeds yields a document that loads again, reads back the
// settings it was given, and is left as it is by a second update.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "netplan_document.h"
#include "network.h"

namespace {

void check(bool holds) {
    if (!holds)
        abort();
}

std::string read_Value(const std::string& text, const std::string& interface,
                       Network::CONFIG_TYPE type) {
    std::string value;
    std::string why;
    bool found = false;
    check(Netplan_Document::read(text, interface, type, Network::Config(), &value, &found, &why) ==
          Netplan_Document::OK);
    return found ? value : "<none>";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    Network::Config config;
    config.target_interface = provider.PickValueInArray({"eth0", "eth1", "e"});
    config.ip4_dhcp = provider.ConsumeBool();
    config.ip4_address = provider.PickValueInArray({"192.0.2.10", "10.0.0.1", "198.51.100.7"});
    config.ip4_gateway = provider.PickValueInArray({"", "192.0.2.1", "0.0.0.0"});
    config.dns1 = provider.PickValueInArray({"", "192.0.2.53", "0.0.0.0"});
    config.dns2 = provider.PickValueInArray({"", "192.0.2.54"});
    const unsigned int prefix = provider.ConsumeIntegralInRange(1, 32);
    const auto type = static_cast<Network::CONFIG_TYPE>(provider.ConsumeIntegralInRange(0, 5));
    const std::string text = provider.ConsumeRemainingBytesAsString();

    std::string value;
    std::string why;
    bool found = false;
    Netplan_Document::read(text, config.target_interface, type, config, &value, &found, &why);

    std::string document;
    if (Netplan_Document::update(text, config, prefix, &document, &why) != Netplan_Document::OK)
        return 0;
    const std::string& name = config.target_interface;
    check(read_Value(document, name, Network::MODE) == std::string(1, config.ip4_dhcp ? 0 : 1));
    if (!config.ip4_dhcp) {
        check(read_Value(document, name, Network::IP_ADDRESS) == config.ip4_address);
        if (!config.ip4_gateway.empty())
            check(read_Value(document, name, Network::GATEWAY) == config.ip4_gateway);
    }
    std::string again;
    check(Netplan_Document::update(document, config, prefix, &again, &why) == Netplan_Document::OK);
    check(again == document);
    return 0;
}
