// Fuzzes the validators at the BMC boundary against references: the C
// library's inet_pton for addresses and netmasks, the unbounded expression
// for netplan's IPv4 entries (on texts short enough for it), and the
// hostname rules for crashes only.
#include <arpa/inet.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "netplan_document.h"
#include "network.h"
#include "system_info.h"

namespace {

void check(bool holds) {
    if (!holds)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const char* text = bytes.c_str(); // as the handler passes it: up to the first NUL

    struct in_addr address;
    const bool parsed = inet_pton(AF_INET, text, &address) == 1;
    const uint32_t mask = parsed ? ntohl(address.s_addr) : 0;
    const bool contiguous = parsed && mask != 0 && (~mask & (~mask + 1)) == 0;
    check(Network::is_Valid_IPv4_Text(text) == (text[0] == '\0' || parsed));
    check(Network::is_Valid_Netmask_Text(text) == (text[0] == '\0' || contiguous));

    static const std::regex ipv4("(((25[0-5]|(2[0-4]|1\\d|[1-9]|)\\d)\\.?\\b){4})/?.*",
                                 std::regex::ECMAScript);
    if (size < 512)
        check(Netplan_Document::is_IPv4_Entry(bytes) == std::regex_match(bytes, ipv4));
    else
        Netplan_Document::is_IPv4_Entry(bytes);

    System_Info::is_Valid_Hostname(text);
    return 0;
}
