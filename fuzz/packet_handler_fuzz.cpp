// Fuzzes the BMC request handler with sequences of bus reads on each kind of
// host, and judges what the BMC's bytes became. An input is one byte that
// picks the host (its network manager and configuration) and then the
// packets, each as many bytes as its length byte says, as the link thread
// splits a read. Every input starts from the same host: its configuration
// files are written afresh and loaded as the daemon loads them at start.
//
// In fuzz_packet_handler the commands are recorded, not run
// (command_record.cpp), so no process is started and the handler's real
// paths cost only their own work; fuzz_packet_handler_processes, the slow
// second check, runs them through the daemon's runner and the shell to
// stand-ins that record the arguments the shell gave them
// (command_stand_ins.cpp). After every input the oracle checks that each
// command line is one of the handler's known shapes whose BMC values are
// whole words that the handler's validators accept; that
// every configuration file left behind still reads with the project's own
// readers and names only validated values; and that no temporary file is
// left. A violation aborts with the host and the input's packets.
//
// The handler edits files under /etc, so the target runs in a private mount
// namespace of its own (root only), with tmpfs over the configuration
// directories and /run. /tmp stays visible: the fuzzer's own binary, corpus
// and job logs may live there.
#include <dirent.h>
#include <unistd.h>

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BMC_data_protocol.h"
#include "I2C_BMC_packet_thread.h"
#include "command_record.h"
#include "config_file_handling.h"
#include "ipv4_text.h"
#include "log.h"
#include "netplan_document.h"
#include "network.h"
#include "system_info.h"
#include "testkit/files.h"
#include "testkit/namespaces.h"

namespace {

const char* const netplan_path = "/etc/netplan/01-netcfg.yaml";
const char* const stanza_path = "/etc/network/interfaces.d/eth0";
const char* const keyfile_path = "/etc/NetworkManager/system-connections/eth0.nmconnection";
const char* const config_dirs[] = {"/etc/netplan", "/etc/network/interfaces.d",
                                   "/etc/NetworkManager/system-connections"};

// The keyfile the daemon generates for eth0, byte for byte.
const char* const keyfile_text =
    "[connection]\ntype=ethernet\nautoconnect=yes\nautoconnect-priority=0\ninterface-name=eth0\n"
    "\n[ethernet]\n\n[ipv4]\nmethod=auto\n\n[proxy]\n";

// A netplan file with what the update must keep (an IPv6 address, a route
// that is not a default one) and what it must drop (gateway4). Kept small:
// the YAML work of an apply grows with the file, and netplan_document_fuzz
// covers richer documents.
const char* const netplan_text = "network:\n"
                                 "  ethernets:\n"
                                 "    eth0:\n"
                                 "      dhcp4: false\n"
                                 "      addresses: [fd00::5/64, 192.0.2.10/24]\n"
                                 "      gateway4: 192.0.2.1\n"
                                 "      routes:\n"
                                 "        - to: 10.1.0.0/16\n"
                                 "          via: 192.0.2.254\n"
                                 "      nameservers:\n"
                                 "        addresses: [192.0.2.53]\n";

// A static IPv4 stanza with a hardware address and an IPv6 stanza beside it,
// and another interface's stanza after it.
const char* const stanza_text = "auto eth0\n"
                                "iface eth0 inet static\n"
                                "    hwaddress ether 02:00:00:00:00:01\n"
                                "    address 192.0.2.10\n"
                                "    netmask 255.255.255.0\n"
                                "    gateway 192.0.2.1\n"
                                "iface eth0 inet6 static\n"
                                "    address fd00::5/64\n"
                                "iface eth1 inet dhcp\n";

// How NetworkManager answers the start-up reads of the connection.
const char* const nmcli_answers[][2] = {
    {"nmcli -t -f ipv4.method con show eth0", "ipv4.method:manual\n"},
    {"nmcli -t -f ipv4.addresses con show eth0", "ipv4.addresses:192.0.2.10/24\n"},
    {"nmcli -t -f ipv4.gateway con show eth0", "ipv4.gateway:192.0.2.1\n"},
    {"nmcli -t -f ipv4.dns con show eth0", "ipv4.dns:192.0.2.53,192.0.2.54\n"},
};

const char* const manager_query = "systemctl is-active NetworkManager";

// The settings that the daemon's start-up load (Network::set_Interface_Name)
// finds on a host: mode byte, address, gateway, netmask, DNS1, DNS2.
struct Loaded_Settings {
    char mode;
    const char* values[5];
};

// netplan: what the file above holds; no second name server.
const Loaded_Settings netplan_loaded = {
    1, {"192.0.2.10", "192.0.2.1", "255.255.255.0", "192.0.2.53", ""}};
// NetworkManager: what nmcli_answers say.
const Loaded_Settings nmcli_loaded = {
    1, {"192.0.2.10", "192.0.2.1", "255.255.255.0", "192.0.2.53", "192.0.2.54"}};
// The default netplan file the daemon writes: DHCP, two name servers, and
// no live address yet to fall back on.
const Loaded_Settings default_loaded = {0, {"", "", "", "1.1.1.1", "8.8.8.8"}};

struct Host {
    const char* name;
    const char* netplan;           // the netplan file, or none
    const char* stanza;            // the ifupdown stanza file, or none
    bool keyfile;                  // the generated keyfile is there
    const char* manager;           // the answer to manager_query
    const Loaded_Settings* loaded; // none: ifupdown keeps its settings in the file
};

const Host hosts[] = {
    {"netplan", netplan_text, nullptr, false, "inactive\n", &netplan_loaded},
    {"ifupdown", nullptr, stanza_text, false, "inactive\n", nullptr},
    {"NetworkManager with its keyfile", nullptr, nullptr, true, "active\n", &nmcli_loaded},
    {"no configuration, NetworkManager running", nullptr, nullptr, false, "active\n",
     &nmcli_loaded},
    {"no configuration, NetworkManager stopped", nullptr, nullptr, false, "inactive\n",
     &default_loaded},
};

// The command lines that carry no BMC value, whole.
const std::set<std::string> fixed_commands = {
    manager_query,
    "netplan apply",
    "systemctl restart networking.service",
    "ip -4 addr flush dev eth0 label eth0",
    "nmcli con reload",
    "nmcli device reapply eth0",
    "nmcli -t -f DEVICE,FILENAME con show | grep eth0:/run/ | cut -d':' -f2",
    // What the stand-in nmcli records of that pipeline.
    "nmcli -t -f DEVICE,FILENAME con show",
    nmcli_answers[0][0],
    nmcli_answers[1][0],
    nmcli_answers[2][0],
    nmcli_answers[3][0],
};

void fail(const std::string& what) {
    fprintf(stderr, "packet_handler_fuzz: %s\n", what.c_str());
    exit(1);
}

// ---- The input --------------------------------------------------------------

struct Input {
    const Host* host;
    std::vector<std::unique_ptr<BMC::Packet>> packets;
};

// At most this many packets an input: a whole change is seven, and two
// make the longest sequences worth trying.
const size_t max_packets = 16;

Input read_Input(const uint8_t* data, size_t size) {
    Input input{&hosts[size > 0 ? data[0] % std::size(hosts) : 0], {}};
    size_t at = 1;
    while (at < size && input.packets.size() < max_packets) {
        // A read always takes 256 bytes; those after the packet are zeros.
        uint8_t wire[256] = {};
        size_t length = data[at] > 0 ? data[at] : 1;
        if (length > size - at)
            length = size - at;
        memcpy(wire, data + at, length);
        at += length;
        input.packets.emplace_back(new BMC::Packet);
        BMC::init_Packet_From_Wire(input.packets.back().get(), wire, sizeof(wire));
    }
    return input;
}

std::string describe(const Input& input) {
    std::string text = "host: " + std::string(input.host->name) + "\npackets:";
    for (const auto& packet : input.packets) {
        const uint8_t length = BMC::get_Packet_Data_Length(*packet);
        std::string data;
        for (uint8_t i = 0; packet->data != nullptr && i < length; i++) {
            char hex[4];
            snprintf(hex, sizeof(hex), " %02x", packet->data[i]);
            data += hex;
        }
        text += "\n  subaddress " + std::to_string(BMC::get_Packet_Subaddress(*packet)) + ", " +
                std::to_string(length) + " data bytes:" + data;
    }
    return text;
}

// ---- The host ---------------------------------------------------------------

void write_Text(const std::string& path, const char* text) {
    if (write_File(path, text, 0600) != 0)
        fail("cannot write " + path);
}

// Writes the host's files afresh and sets the settings the daemon's start
// would load from them: through its start-up load, Network::set_Interface_Name,
// with `as_at_start`, else through set_Config from the host's table, which
// is much cheaper (the start-up load parses the netplan file six times).
// LLVMFuzzerInitialize checks that the two agree.
void set_Up_Host(const Host& host, bool as_at_start) {
    // The oracle has seen that no other file is there.
    for (const char* path : {netplan_path, stanza_path, keyfile_path})
        unlink(path);
    if (host.netplan != nullptr)
        write_Text(netplan_path, host.netplan);
    if (host.stanza != nullptr)
        write_Text(stanza_path, host.stanza);
    if (host.keyfile)
        write_Text(keyfile_path, keyfile_text);
    clear_Recorded_Commands();
    set_Command_Answer(manager_query, host.manager);
    if (as_at_start) {
        Network::set_Interface_Name("eth0");
        return;
    }
    if (host.loaded == nullptr)
        return;
    // The first call detects the manager, which writes a configuration on a
    // host without one, as at start.
    Network::set_Config(Network::MODE, &host.loaded->mode);
    for (int type = Network::IP_ADDRESS; type <= Network::DNS2; type++)
        Network::set_Config(static_cast<Network::CONFIG_TYPE>(type), host.loaded->values[type - 1]);
}

// The commands and files of an apply right after a host's set-up.
std::string get_Apply_Outcome(const Host& host, bool as_at_start) {
    set_Up_Host(host, as_at_start);
    clear_Recorded_Commands();
    Network::set_Config_Apply();
    std::string outcome;
    for (const std::string& line : get_Recorded_Commands())
        outcome += line + "\n";
    for (const char* path : {netplan_path, stanza_path, keyfile_path})
        outcome += std::string(path) + ":\n" + read_File(path);
    return outcome;
}

// ---- The oracle -------------------------------------------------------------

bool is_Address(const std::string& text) {
    return !text.empty() && Network::is_Valid_IPv4_Text(text.c_str());
}

// "A.B.C.D/P" with a usable address and a prefix of 1 to 32.
bool is_Address_With_Prefix(const std::string& text) {
    const size_t slash = text.find('/');
    uint32_t value = 0;
    unsigned int prefix = 0;
    return slash != std::string::npos && parse_Dotted_Quad(text.substr(0, slash).c_str(), &value) &&
           value != 0 && parse_Prefix_Length(text.c_str() + slash + 1, true, &prefix) && prefix > 0;
}

// Splits a command line into the words the shell would make of it, when it
// is only plain words and single-quoted words separated by one blank; false
// for anything else the shell would read as syntax.
bool split_Words(const std::string& line, std::vector<std::string>* words) {
    static const char* const plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789._:/,=-";
    size_t at = 0;
    while (at < line.size()) {
        std::string word;
        if (line[at] == '\'') {
            const size_t end = line.find('\'', at + 1);
            if (end == std::string::npos)
                return false;
            word = line.substr(at + 1, end - at - 1);
            at = end + 1;
        } else {
            const size_t end = line.find_first_not_of(plain, at);
            word = line.substr(at, end == std::string::npos ? end : end - at);
            if (word.empty())
                return false;
            at = end == std::string::npos ? line.size() : end;
        }
        words->push_back(word);
        if (at < line.size() && (line[at] != ' ' || at + 1 == line.size()))
            return false;
        at++;
    }
    return !words->empty();
}

// "nmcli con mod eth0 ipv4.method M" and then the address, gateway and DNS
// settings, each at most once and in that order.
std::string check_Modify(const std::vector<std::string>& words) {
    if (words.size() < 6 || words[2] != "mod" || words[3] != "eth0" || words[4] != "ipv4.method")
        return "not a connection change of eth0";
    const bool dhcp = words[5] == "auto";
    if (!dhcp && words[5] != "manual")
        return "method \"" + words[5] + "\"";
    size_t at = 6;
    if (at + 1 < words.size() && words[at] == "ipv4.addresses") {
        if (dhcp ? !words[at + 1].empty() : !is_Address_With_Prefix(words[at + 1]))
            return "address \"" + words[at + 1] + "\"";
        if (at + 3 >= words.size() || words[at + 2] != "ipv4.gateway")
            return "an address without a gateway";
        if (dhcp ? !words[at + 3].empty() : !Network::is_Valid_IPv4_Text(words[at + 3].c_str()))
            return "gateway \"" + words[at + 3] + "\"";
        at += 4;
    } else if (!dhcp) {
        return "a static method without an address";
    }
    if (at + 1 < words.size() && words[at] == "ipv4.dns") {
        const std::string& servers = words[at + 1];
        const size_t comma = servers.find(',');
        const std::string first = servers.substr(0, comma);
        const std::string second = comma == std::string::npos ? "" : servers.substr(comma + 1);
        if (servers.empty() || !Network::is_Valid_IPv4_Text(first.c_str()) ||
            !Network::is_Valid_IPv4_Text(second.c_str()) ||
            (comma != std::string::npos && first.empty()))
            return "DNS servers \"" + servers + "\"";
        at += 2;
    }
    if (at != words.size())
        return "\"" + words[at] + "\" after the settings";
    return "";
}

// "" when `line` is one of the handler's shapes with validated values.
std::string check_Command(const std::string& line) {
    if (fixed_commands.count(line) != 0)
        return "";
    std::vector<std::string> words;
    if (!split_Words(line, &words))
        return "shell syntax";
    if (words[0] == "hostnamectl") {
        if (words.size() != 3 || words[1] != "set-hostname")
            return "not a hostname change";
        if (!System_Info::is_Valid_Hostname(words[2].c_str()))
            return "hostname \"" + words[2] + "\"";
        return "";
    }
    if (words[0] == "nmcli" && words.size() > 1 && words[1] == "con")
        return check_Modify(words);
    return "an unknown command";
}

// Adds every scalar of `node`, keys included, to `*scalars`.
void collect_Scalars(const YAML::Node& node, std::set<std::string>* scalars) {
    switch (node.Type()) {
    case YAML::NodeType::Scalar:
        scalars->insert(node.Scalar());
        break;
    case YAML::NodeType::Sequence:
        for (const YAML::Node& item : node)
            collect_Scalars(item, scalars);
        break;
    case YAML::NodeType::Map:
        for (const auto& item : node) {
            collect_Scalars(item.first, scalars);
            collect_Scalars(item.second, scalars);
        }
        break;
    default:
        break;
    }
}

// The words other than addresses that a file may hold: those of the host's
// own file, and those the daemon writes itself.
std::set<std::string> get_Netplan_Words() {
    std::set<std::string> words = {"network",     "ethernets", "eth0",      "dhcp4",
                                   "true",        "false",     "addresses", "routes",
                                   "nameservers", "to",        "via",       "default"};
    collect_Scalars(YAML::Load(netplan_text), &words);
    return words;
}

std::string check_Netplan(const std::string& text) {
    // Most inputs leave one of a few files behind: a text found good once is
    // not parsed again.
    static std::set<std::string> good = {netplan_text};
    if (good.count(text) != 0)
        return "";
    std::string value;
    std::string why;
    bool found = false;
    const uint8_t result = Netplan_Document::read(text, "eth0", Network::MODE, Network::Config(),
                                                  &value, &found, &why);
    if (result != Netplan_Document::OK)
        return "netplan file no longer reads (" + std::to_string(result) + " " + why + ")";
    static const std::set<std::string> known = get_Netplan_Words();
    std::set<std::string> scalars;
    collect_Scalars(YAML::Load(text), &scalars);
    for (const std::string& scalar : scalars) {
        if (known.count(scalar) == 0 && !is_Address(scalar) && !is_Address_With_Prefix(scalar))
            return "netplan file holds \"" + scalar + "\"";
    }
    if (good.size() < 10000)
        good.insert(text);
    return "";
}

std::vector<std::string> split_Blanks(const std::string& line) {
    std::vector<std::string> words;
    size_t at = line.find_first_not_of(" \t");
    while (at != std::string::npos) {
        const size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end == std::string::npos ? end : end - at));
        at = line.find_first_not_of(" \t", end);
    }
    return words;
}

// An address, netmask or gateway line, perhaps commented out, with a valid
// value.
bool is_Stanza_Option(const std::string& line) {
    std::vector<std::string> words = split_Blanks(line);
    if (words.size() != 2)
        return false;
    words[0].erase(0, words[0].find_first_not_of('#'));
    if (words[0] == "netmask")
        return is_Address(words[1]) && Network::is_Valid_Netmask_Text(words[1].c_str());
    return (words[0] == "address" || words[0] == "gateway") && is_Address(words[1]);
}

// Each line is one of the host's own, the method line of eth0's IPv4 stanza
// or a stanza option with a valid value; and the stanza still reads.
std::string check_Stanza(const std::string& text) {
    static const std::vector<std::string> own = lines_Of(stanza_text);
    for (const std::string& line : lines_Of(text)) {
        if (std::find(own.begin(), own.end(), line) == own.end() && !is_Stanza_Option(line) &&
            line != "iface eth0 inet static" && line != "iface eth0 inet dhcp")
            return "stanza line \"" + line + "\"";
    }
    char method[64] = {};
    if (Config_File::get_Data(stanza_path, "iface eth0 inet", method, sizeof(method), ' ', nullptr,
                              false) != 0)
        return "stanza without its method line";
    return "";
}

// The configuration directories, open for the whole run: a rewind and a
// read per input cost no allocation.
DIR* config_dir_streams[std::size(config_dirs)] = {};

std::string check_Files() {
    for (size_t i = 0; i < std::size(config_dirs); i++) {
        rewinddir(config_dir_streams[i]);
        while (const dirent* entry = readdir(config_dir_streams[i])) {
            const std::string path = std::string(config_dirs[i]) + "/" + entry->d_name;
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
                path != netplan_path && path != stanza_path && path != keyfile_path)
                return "a file left behind: " + path;
        }
    }
    if (file_Exists(keyfile_path) && read_File(keyfile_path) != keyfile_text)
        return "the keyfile changed";
    std::string why;
    if (file_Exists(netplan_path))
        why = check_Netplan(read_File(netplan_path));
    if (why.empty() && file_Exists(stanza_path))
        why = check_Stanza(read_File(stanza_path));
    return why;
}

void check(const Input& input) {
    std::string why;
    for (const std::string& line : get_Recorded_Commands()) {
        const std::string wrong = check_Command(line);
        if (!wrong.empty()) {
            why = "command \"" + get_Log_Escaped(line.c_str(), 300) + "\": ";
            why += wrong;
            break;
        }
    }
    if (why.empty())
        why = check_Files();
    if (why.empty())
        return;
    fprintf(stderr, "packet_handler_fuzz: %s\n%s\n", why.c_str(), describe(input).c_str());
    abort();
}

} // namespace

// An input allocates much (about 1,100 blocks and 180 KB, YAML nodes above
// all), and ASan's bookkeeping of each block was a third of the time. With
// the default quarantine of 256 MB every allocation touched fresh pages and
// the process grew past 350 MB; 4 MB holds what some twenty inputs free. A
// report keeps its whole stack and four frames of where the block was
// allocated and freed instead of 30: replay a finding with
// ASAN_OPTIONS=malloc_context_size=30 for the rest.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=4:malloc_context_size=4";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string failed = enter_Private_Namespaces(PRIVATE_MOUNTS);
    if (failed.empty())
        failed = mount_Empty_Dirs({config_dirs[0], config_dirs[1], config_dirs[2], "/run"});
    if (!failed.empty())
        fail(failed + " (run as root: the target needs a private mount namespace)");
    for (size_t i = 0; i < std::size(config_dirs); i++) {
        config_dir_streams[i] = opendir(config_dirs[i]);
        if (config_dir_streams[i] == nullptr)
            fail(std::string("cannot open ") + config_dirs[i]);
    }
    for (const auto& answer : nmcli_answers)
        set_Command_Answer(answer[0], answer[1]);
    // Lines are formatted as usual, and dropped.
    set_Log_Output_File("/dev/null", "w");
    for (const Host& host : hosts) {
        if (get_Apply_Outcome(host, true) != get_Apply_Outcome(host, false))
            fail(std::string("the settings table of host \"") + host.name +
                 "\" differs from what the daemon loads at start");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Input input = read_Input(data, size);
    set_Up_Host(*input.host, false);
    for (const auto& packet : input.packets)
        I2C_BMC_Packet_Hander(packet.get());
    check(input);
    // What an input allocated is freed within it: libFuzzer runs an input
    // whose allocations outnumber its frees a second time, to look for a
    // leak, and the command lines kept until the next input made that most
    // of them.
    clear_Recorded_Commands();
    return 0;
}
