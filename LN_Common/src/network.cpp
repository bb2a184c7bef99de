// Network: the managed interface, its live IPv4 state, detection of the
// host's network manager and the three backends (netplan, NetworkManager,
// ifupdown) that read and apply the BMC's IPv4 settings.
//
// Values from the BMC are checked once, in set_Config: only the empty text or
// a dotted-quad IPv4 address is taken, so nothing but an address can reach a
// YAML file, a stanza file or a command line.
#include "network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include <yaml-cpp/yaml.h>

#include "config_file_handling.h"
#include "extra_command_handling.h"
#include "log.h"

static const char* const __log_tag = "Network";

namespace {

// ---- Kernel and file interfaces -------------------------------------------

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result; a failed close can lose written data.
    int release_Close() {
        int result = close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

struct File_Closer {
    void operator()(FILE* file) const { fclose(file); }
};
using File_Ptr = std::unique_ptr<FILE, File_Closer>;

// Issues one interface request for `name` on a fresh AF_INET datagram socket.
// `request_record` is prepared all zero with the name and the family first,
// so a failed request leaves an all-zero address behind.
bool request_Interface(unsigned long request, const char* name, struct ifreq* request_record) {
    memset(request_record, 0, sizeof(*request_record));
    strncpy(request_record->ifr_name, name, IFNAMSIZ - 1);
    request_record->ifr_addr.sa_family = AF_INET;
    Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        return false;
    return ioctl(sock.get(), request, request_record) == 0;
}

// Writes `content` whole into `path` and flushes it to disk. A missing file is
// created with `create_mode`; an existing one is truncated and keeps its
// identity and mode, unless `force_mode` asks for `create_mode` on it too
// (set before any content lands in it). 0 on success, else an errno value.
int write_File(const char* path, const std::string& content, mode_t create_mode, bool force_mode) {
    Fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, create_mode));
    if (fd.get() < 0)
        return errno;
    if (force_mode && fchmod(fd.get(), create_mode) != 0)
        return errno;
    const char* data = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t written = write(fd.get(), data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (fsync(fd.get()) != 0)
        return errno;
    if (fd.release_Close() != 0)
        return errno;
    return 0;
}

// ---- Small pure helpers ----------------------------------------------------

// Copies `text` into `buffer`, cut to fit and terminated; the rest of the
// buffer is zero-filled.
void copy_Text(char* buffer, unsigned int buffer_length, const char* text) {
    if (buffer == nullptr || buffer_length == 0)
        return;
    strncpy(buffer, text, buffer_length - 1);
    buffer[buffer_length - 1] = '\0';
}

// Reads a prefix length 0..32 from the digits at the start of `text`. With
// `whole_text` nothing may follow the digits. False when there is no digit,
// the number is out of range, or (with `whole_text`) other text follows.
bool parse_Prefix_Length(const char* text, bool whole_text, unsigned int* prefix) {
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || value > 32)
        return false;
    if (whole_text && *end != '\0')
        return false;
    *prefix = static_cast<unsigned int>(value);
    return true;
}

// The dotted netmask of a prefix length 0..32.
std::string get_Prefix_Netmask(unsigned int prefix) {
    uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", (mask >> 24) & 0xFF, (mask >> 16) & 0xFF,
             (mask >> 8) & 0xFF, mask & 0xFF);
    return text;
}

// Number of consecutive one bits of the low byte counted from bit 7 down.
uint8_t get_Bit_Count(uint32_t data) {
    uint8_t count = 0;
    while (data & 0x80) {
        count++;
        data <<= 1;
    }
    return count;
}

// Prefix length of a dotted netmask: the leading ones of each of the four
// fields, added up. Contiguity is not checked; a missing field counts 0.
uint8_t get_Subnetmask_Bit_Count(const char* str) {
    char work[100] = {};
    strncpy(work, str, sizeof(work) - 1);
    uint8_t count = 0;
    char* field = work;
    for (int i = 0; i < 4; i++) {
        char* dot = strchr(field, '.');
        if (dot != nullptr)
            *dot = '\0';
        count += get_Bit_Count(static_cast<uint32_t>(atoi(field)));
        if (dot == nullptr)
            break;
        field = dot + 1;
    }
    return count;
}

// Text of a netplan address entry: a scalar's own text, or for netplan's
// address-with-options form (a one-key mapping) the key. False for any other
// form.
bool get_Entry_Text(const YAML::Node& entry, std::string* text) {
    if (entry.IsScalar()) {
        *text = entry.as<std::string>();
        return true;
    }
    if (entry.IsMap() && entry.size() == 1 && entry.begin()->first.IsScalar()) {
        *text = entry.begin()->first.as<std::string>();
        return true;
    }
    if (entry.IsNull()) {
        *text = "null";
        return true;
    }
    return false;
}

// Puts the entries that were kept back under `key` of the interface map, or
// drops the key when none is left.
void set_netplan_List(YAML::Node interface, const char* key, const YAML::Node& kept) {
    if (kept.size() == 0)
        interface.remove(key);
    else
        interface[key] = kept;
}

} // namespace

// ---- Static data ----------------------------------------------------------

const char* const Network::MANAGER_TYPE_STRING[4] = {"UNKNOWN", "netplan", "ifupdown",
                                                     "network manager"};
const std::regex Network::ipv4_regex("(((25[0-5]|(2[0-4]|1\\d|[1-9]|)\\d)\\.?\\b){4})/?.*",
                                     std::regex::ECMAScript);
const std::string Network::netplan_config_path = "/etc/netplan/01-netcfg.yaml";
const std::string Network::ifupdown_config_path = "/etc/network/interfaces.d/";
const std::string Network::nmcli_config_path = "/etc/NetworkManager/system-connections/";
const std::string Network::nmcli_config_prefix =
    "[connection]\ntype=ethernet\nautoconnect=yes\nautoconnect-priority=0\ninterface-name=";
const std::string Network::nmcli_config_postfix =
    "\n[ethernet]\n\n[ipv4]\nmethod=auto\n\n[proxy]\n";

Network::Config Network::default_network_info = {};
bool Network::default_network_info_update_flag = false;
Network::Config Network::config = {"eth0", false, "", "", "", "", ""};

// ---- Validation -------------------------------------------------------------

bool Network::is_Valid_IPv4_Text(const char* text) {
    if (text == nullptr)
        return false;
    if (text[0] == '\0')
        return true;
    const char* p = text;
    for (int octet = 0; octet < 4; octet++) {
        if (octet > 0) {
            if (*p != '.')
                return false;
            p++;
        }
        if (*p < '0' || *p > '9')
            return false;
        // No leading zeros: some tools read them as octal, and netplan's own
        // address test would not recognise the entry again.
        if (*p == '0' && p[1] >= '0' && p[1] <= '9')
            return false;
        unsigned int value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3)
                return false;
            value = value * 10 + static_cast<unsigned int>(*p - '0');
            p++;
        }
        if (value > 255)
            return false;
    }
    return *p == '\0';
}

// ---- Interface, live state -----------------------------------------------

void Network::set_Interface_Name(const char* name) {
    config.target_interface = name;
    if (get_Info_Log_Status())
        LOG_INFO("Interface: %s, Manager Type: %s", config.target_interface.c_str(),
                 MANAGER_TYPE_STRING[get_Manager_Type(nullptr, 0)]);

    static const CONFIG_TYPE types[] = {MODE, IP_ADDRESS, GATEWAY, SUBNETMASK, DNS1, DNS2};
    for (CONFIG_TYPE type : types) {
        char buffer[128] = {};
        if (get_Config(type, buffer, sizeof(buffer)) != 0)
            continue;
        switch (type) {
        case MODE:
            config.ip4_dhcp = buffer[0] == 0;
            break;
        case IP_ADDRESS:
            config.ip4_address = buffer;
            break;
        case GATEWAY:
            config.ip4_gateway = buffer;
            break;
        case SUBNETMASK:
            config.ip4_subnetmask = buffer;
            break;
        case DNS1:
            config.dns1 = buffer;
            break;
        case DNS2:
            config.dns2 = buffer;
            break;
        }
    }
}

const char* Network::get_Interface_Name() {
    return config.target_interface.c_str();
}

void Network::update_Default_IP_Info() {
    std::string address = "0.0.0.0";
    std::string netmask = "255.255.255.255";
    std::string gateway = "0.0.0.0";

    File_Ptr route(fopen("/proc/net/route", "re"));
    if (!route)
        return;

    char* line = nullptr;
    size_t line_size = 0;
    while (getline(&line, &line_size, route.get()) >= 0) {
        if (strstr(line, "Destination") != nullptr || strstr(line, "00000000") == nullptr)
            continue;

        char name[IFNAMSIZ] = {};
        size_t name_length = strcspn(line, "\t");
        if (name_length >= sizeof(name))
            name_length = sizeof(name) - 1;
        memcpy(name, line, name_length);

        // Third field: the gateway in hexadecimal, first octet in the low byte.
        const char* field = line;
        for (int i = 0; i < 2 && field != nullptr; i++) {
            field = strchr(field, '\t');
            if (field != nullptr)
                field++;
        }
        if (field != nullptr) {
            errno = 0;
            char* end = nullptr;
            unsigned long value = strtoul(field, &end, 16);
            if (errno == 0 && end != field && (*end == '\t' || *end == '\n' || *end == '\0') &&
                value <= 0xFFFFFFFFul) {
                char text[16];
                snprintf(text, sizeof(text), "%lu.%lu.%lu.%lu", value & 0xFF, (value >> 8) & 0xFF,
                         (value >> 16) & 0xFF, (value >> 24) & 0xFF);
                gateway = text;
            }
        }

        struct ifreq request_record;
        request_Interface(SIOCGIFADDR, name, &request_record);
        address = inet_ntoa(reinterpret_cast<sockaddr_in*>(&request_record.ifr_addr)->sin_addr);
        request_Interface(SIOCGIFNETMASK, name, &request_record);
        const unsigned char* mask = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<sockaddr_in*>(&request_record.ifr_netmask)->sin_addr);
        char text[16];
        snprintf(text, sizeof(text), "%d.%d.%d.%d", mask[0], mask[1], mask[2], mask[3]);
        netmask = text;
        break;
    }
    free(line);

    if (address != default_network_info.ip4_address ||
        netmask != default_network_info.ip4_subnetmask ||
        gateway != default_network_info.ip4_gateway) {
        LOG_INFO("IP: %s, Subnetmask: %s, Gateway: %s", address.c_str(), netmask.c_str(),
                 gateway.c_str());
        default_network_info.ip4_address = address;
        default_network_info.ip4_subnetmask = netmask;
        default_network_info.ip4_gateway = gateway;
        default_network_info_update_flag = true;
    }
}

bool Network::get_Default_IP_Info_Update_Flag() {
    bool flag = default_network_info_update_flag;
    default_network_info_update_flag = false;
    return flag;
}

Network::Config Network::get_Default_IP_Info() {
    return default_network_info;
}

std::string Network::get_Interface_MAC_Address() {
    struct ifreq request_record;
    request_Interface(SIOCGIFHWADDR, config.target_interface.c_str(), &request_record);
    const unsigned char* mac =
        reinterpret_cast<const unsigned char*>(request_record.ifr_hwaddr.sa_data);
    char text[32];
    snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

// ---- Manager detection ------------------------------------------------------

namespace {

// True when `path` may be read; then copies it into `buffer` when one is given.
bool get_Readable_Path(const std::string& path, char* buffer, unsigned int buffer_length) {
    if (path.empty() || access(path.c_str(), R_OK) != 0)
        return false;
    copy_Text(buffer, buffer_length, path.c_str());
    return true;
}

} // namespace

bool Network::get_netplan_Config_Exist(char* buffer, unsigned int buffer_length) {
    return get_Readable_Path(netplan_config_path, buffer, buffer_length);
}

bool Network::get_ifupdown_Config_Exist(char* buffer, unsigned int buffer_length) {
    return get_Readable_Path(ifupdown_config_path + config.target_interface, buffer, buffer_length);
}

bool Network::get_Network_Manager_Config_Exist(char* buffer, unsigned int buffer_length) {
    return get_Readable_Path(get_Network_Manager_Config_Path(), buffer, buffer_length);
}

const std::string Network::get_Network_Manager_Config_Path() {
    if (config.target_interface.empty())
        return "";
    return nmcli_config_path + config.target_interface + ".nmconnection";
}

// Anything but an answer holding "inactive" counts as running, an empty one
// (systemctl missing) included.
bool Network::get_Network_Manager_Service_Status() {
    char answer[32] = {};
    set_Command("systemctl is-active NetworkManager", answer, sizeof(answer));
    return strstr(answer, "inactive") == nullptr;
}

Network::MANAGER_TYPE Network::get_Manager_Type(char* buffer, unsigned int buffer_length) {
    if (get_netplan_Config_Exist(buffer, buffer_length))
        return NETPLAN;
    if (get_ifupdown_Config_Exist(buffer, buffer_length))
        return IFUPDOWN;
    if (get_Network_Manager_Config_Exist(buffer, buffer_length))
        return NETWORK_MANAGER;
    if (get_Network_Manager_Service_Status()) {
        init_Network_Manager_Config();
        return NETWORK_MANAGER;
    }
    init_netplan_Config();
    copy_Text(buffer, buffer_length, netplan_config_path.c_str());
    return NETPLAN;
}

// ---- Requests and apply -----------------------------------------------------

uint8_t Network::set_Config(CONFIG_TYPE type, const char* str) {
    if (type > DNS2 || str == nullptr)
        return 1;
    if (type != MODE && !is_Valid_IPv4_Text(str)) {
        // Show at most a short, printable prefix of what was refused.
        char shown[20] = {};
        for (size_t i = 0; i < sizeof(shown) - 1 && str[i] != '\0'; i++)
            shown[i] = (str[i] >= 0x20 && str[i] < 0x7F) ? str[i] : '?';
        LOG_ERROR("Refused type %d: \"%s%s\" is not an IPv4 address", type, shown,
                  strlen(str) >= sizeof(shown) ? "..." : "");
        return 1;
    }

    char path[100] = {};
    switch (get_Manager_Type(path, sizeof(path))) {
    case IFUPDOWN:
        return set_ifupdown_Config(path, type, str);
    case NETPLAN:
    case NETWORK_MANAGER:
        switch (type) {
        case MODE:
            config.ip4_dhcp = *str == 0;
            break;
        case IP_ADDRESS:
            config.ip4_address = str;
            break;
        case GATEWAY:
            config.ip4_gateway = str;
            break;
        case SUBNETMASK:
            config.ip4_subnetmask = str;
            break;
        case DNS1:
            config.dns1 = str;
            break;
        case DNS2:
            config.dns2 = str;
            break;
        }
        return 0;
    default:
        return 1;
    }
}

uint8_t Network::get_Config(CONFIG_TYPE type, char* buffer, unsigned int buffer_length) {
    if (buffer == nullptr || buffer_length == 0)
        return 1;
    char path[128] = {};
    switch (get_Manager_Type(path, sizeof(path))) {
    case NETPLAN:
        return get_netplan_Config(path, type, buffer, buffer_length);
    case IFUPDOWN:
        return get_ifupdown_Config(path, type, buffer, buffer_length);
    case NETWORK_MANAGER:
        return get_Network_Manager_Config(type, buffer, buffer_length);
    default:
        return 1;
    }
}

bool Network::set_Config_Apply() {
    switch (get_Manager_Type(nullptr, 0)) {
    case IFUPDOWN:
        set_Command("systemctl restart networking.service", nullptr, 0);
        return true;
    case NETPLAN:
        update_netplan_Config();
        set_Command("netplan apply", nullptr, 0);
        return true;
    case NETWORK_MANAGER: {
        update_Network_Manager_Config();
        char command[128];
        snprintf(command, sizeof(command), "nmcli device reapply %s",
                 config.target_interface.c_str());
        set_Command(command, nullptr, 0);
        return true;
    }
    default:
        return false;
    }
}

// ---- Netplan backend --------------------------------------------------------

void Network::init_netplan_Config() {
    YAML::Node raw_config;
    YAML::Node netplan_config = raw_config["network"]["ethernets"][config.target_interface];
    netplan_config["dhcp4"] = true;
    netplan_config["nameservers"]["addresses"].push_back("1.1.1.1");
    netplan_config["nameservers"]["addresses"].push_back("8.8.8.8");

    std::ostringstream document;
    document << raw_config << '\n';
    // netplan warns about configuration files that others can read.
    int error = write_File(netplan_config_path.c_str(), document.str(), 0600, false);
    if (error != 0) {
        LOG_ERROR("Generate Failed: %s: %s", netplan_config_path.c_str(), strerror(error));
        return;
    }
    LOG_INFO("Generated: %s", netplan_config_path.c_str());
}

void Network::update_netplan_Config() {
    char path[100] = {};
    MANAGER_TYPE type = get_Manager_Type(path, sizeof(path));
    if (type != NETPLAN) {
        LOG_ERROR("Manager is now %s, not netplan: nothing written", MANAGER_TYPE_STRING[type]);
        return;
    }

    YAML::Node raw_config;
    YAML::Node netplan_config;
    try {
        raw_config = YAML::LoadFile(path);
        netplan_config = raw_config["network"]["ethernets"][config.target_interface];
    } catch (const std::exception&) {
        puts("Config File Load Error");
        return;
    }

    // Everything up to the write works on the document in memory; content of
    // a form netplan does not use ends the update here, with the file as it was.
    std::string document;
    try {
        YAML::Node addresses(YAML::NodeType::Sequence);
        YAML::Node old_addresses = netplan_config["addresses"];
        if (old_addresses.IsMap()) {
            LOG_ERROR("%s: \"addresses\" of %s is a mapping, file left unchanged", path,
                      config.target_interface.c_str());
            return;
        }
        if (old_addresses.IsSequence()) {
            for (const YAML::Node& entry : old_addresses) {
                std::string text;
                if (!get_Entry_Text(entry, &text)) {
                    LOG_ERROR("%s: unexpected entry in \"addresses\", file left unchanged", path);
                    return;
                }
                if (!std::regex_match(text, ipv4_regex))
                    addresses.push_back(entry);
            }
        }
        set_netplan_List(netplan_config, "addresses", addresses);

        netplan_config.remove("gateway4");

        YAML::Node routes(YAML::NodeType::Sequence);
        YAML::Node old_routes = netplan_config["routes"];
        if (old_routes.IsMap()) {
            LOG_ERROR("%s: \"routes\" of %s is a mapping, file left unchanged", path,
                      config.target_interface.c_str());
            return;
        }
        if (old_routes.IsSequence()) {
            for (const YAML::Node& route : old_routes) {
                if (!route.IsMap() || !route["to"].IsScalar()) {
                    LOG_ERROR("%s: route without a \"to\" text, file left unchanged", path);
                    return;
                }
                if (route["to"].as<std::string>() != "default")
                    routes.push_back(route);
            }
        }
        set_netplan_List(netplan_config, "routes", routes);

        netplan_config["dhcp4"] = config.ip4_dhcp;

        if (!config.ip4_dhcp) {
            // An empty address or gateway is a setting not made: netplan
            // refuses an address "/24" and an empty "via".
            if (!config.ip4_address.empty()) {
                char entry[64];
                snprintf(entry, sizeof(entry), "%s/%u", config.ip4_address.c_str(),
                         get_Subnetmask_Bit_Count(config.ip4_subnetmask.c_str()));
                netplan_config["addresses"].push_back(std::string(entry));
            }
            if (!config.ip4_gateway.empty()) {
                YAML::Node gateway;
                gateway["to"] = "default";
                gateway["via"] = config.ip4_gateway;
                netplan_config["routes"].push_back(gateway);
            }
        }

        netplan_config.remove("nameservers");
        for (const std::string* dns : {&config.dns1, &config.dns2}) {
            if (!dns->empty() && *dns != "0.0.0.0")
                netplan_config["nameservers"]["addresses"].push_back(*dns);
        }

        std::ostringstream stream;
        stream << raw_config << '\n';
        document = stream.str();
    } catch (const std::exception& e) {
        LOG_ERROR("%s: %s, file left unchanged", path, e.what());
        return;
    }

    int error = write_File(path, document, 0600, false);
    if (error != 0)
        LOG_ERROR("Write Failed: %s: %s", path, strerror(error));
}

uint8_t Network::get_netplan_Config(const char* path, CONFIG_TYPE type, char* buffer,
                                    unsigned int buffer_length) {
    if (type > DNS2)
        return 1;

    YAML::Node raw_config;
    YAML::Node netplan_config;
    try {
        raw_config = YAML::LoadFile(path);
        netplan_config = raw_config["network"]["ethernets"][config.target_interface];
    } catch (const std::exception&) {
        LOG_ERROR("Config File Load Error");
        return 1;
    }
    if (!netplan_config.IsDefined()) {
        LOG_ERROR("target inferface is not defined");
        return 1;
    }

    // The value is worked out whole before `buffer` is touched.
    std::string value;
    bool found = false;
    try {
        switch (type) {
        case MODE: {
            YAML::Node dhcp4 = netplan_config["dhcp4"];
            buffer[0] = (dhcp4.IsScalar() && dhcp4.as<bool>()) ? 0 : 1;
            return 0;
        }
        case IP_ADDRESS:
        case SUBNETMASK: {
            YAML::Node addresses = netplan_config["addresses"];
            std::string entry;
            bool have_entry = false;
            if (addresses.IsSequence()) {
                for (const YAML::Node& node : addresses) {
                    std::string text;
                    if (get_Entry_Text(node, &text) && std::regex_match(text, ipv4_regex)) {
                        entry = text;
                        have_entry = true;
                        break;
                    }
                }
            }
            size_t slash = entry.find('/');
            unsigned int prefix = 0;
            if (type == IP_ADDRESS && have_entry) {
                value = entry.substr(0, slash);
            } else if (type == SUBNETMASK && have_entry && slash != std::string::npos &&
                       parse_Prefix_Length(entry.c_str() + slash + 1, true, &prefix)) {
                value = get_Prefix_Netmask(prefix);
            } else {
                value = type == IP_ADDRESS ? default_network_info.ip4_address
                                           : default_network_info.ip4_subnetmask;
            }
            found = true;
            break;
        }
        case GATEWAY: {
            YAML::Node gateway4 = netplan_config["gateway4"];
            value =
                gateway4.IsScalar() ? gateway4.as<std::string>() : default_network_info.ip4_gateway;
            found = true;
            break;
        }
        case DNS1:
        case DNS2: {
            size_t index = type == DNS1 ? 0 : 1;
            YAML::Node servers = netplan_config["nameservers"]["addresses"];
            if (servers.IsSequence() && servers.size() > index) {
                YAML::Node server = servers[index];
                if (server.IsScalar() && !server.as<std::string>().empty()) {
                    value = server.as<std::string>();
                    found = true;
                }
            }
            break;
        }
        }
    } catch (const std::exception& e) {
        LOG_ERROR("Config File Format Error: %s", e.what());
        return 1;
    }
    if (found)
        copy_Text(buffer, buffer_length, value.c_str());
    return 0;
}

// ---- NetworkManager backend -------------------------------------------------

void Network::init_Network_Manager_Config() {
    const std::string path = get_Network_Manager_Config_Path();
    const std::string content =
        nmcli_config_prefix + config.target_interface + "\n" + nmcli_config_postfix;
    // NetworkManager ignores keyfiles that others can read: 0600 from the
    // start, also on a file that was there before.
    int error = write_File(path.c_str(), content, 0600, true);
    if (error != 0) {
        LOG_ERROR("Generate Failed: %s: %s", path.c_str(), strerror(error));
        return;
    }
    LOG_INFO("Generated: %s", path.c_str());

    char command[256];
    snprintf(command, sizeof(command),
             "nmcli -t -f DEVICE,FILENAME con show | grep %s:/run/ | cut -d':' -f2",
             config.target_interface.c_str());
    char old_path[128] = {};
    if (set_Command(command, old_path, sizeof(old_path) - 1) == 0) {
        trim_Command_Output(old_path);
        // Only a runtime connection file under /run/ is ever removed.
        if (strncmp(old_path, "/run/", 5) == 0 && remove(old_path) == 0)
            LOG_INFO("Removed old Config");
    }

    set_Command("nmcli con reload", nullptr, 0);
    LOG_INFO("Config Reloaded");
}

void Network::update_Network_Manager_Config() {
    // Values loaded from the host at start-up did not pass set_Config; they
    // go into a command line, so they are held to the same rule here.
    const std::string* used[] = {&config.dns1, &config.dns2, &config.ip4_address,
                                 &config.ip4_gateway, &config.ip4_subnetmask};
    size_t used_count = config.ip4_dhcp ? 2 : 5;
    for (size_t i = 0; i < used_count; i++) {
        if (!is_Valid_IPv4_Text(used[i]->c_str())) {
            LOG_ERROR("Setting \"%s\" is not an IPv4 address: nothing sent", used[i]->c_str());
            return;
        }
    }

    char addresses[80] = "";
    if (!config.ip4_dhcp)
        snprintf(addresses, sizeof(addresses), " ipv4.addresses '%s/%u' ipv4.gateway '%s'",
                 config.ip4_address.c_str(),
                 get_Subnetmask_Bit_Count(config.ip4_subnetmask.c_str()),
                 config.ip4_gateway.c_str());
    char dns[64] = "";
    if (!config.dns1.empty() || !config.dns2.empty())
        snprintf(dns, sizeof(dns), " ipv4.dns '%s%s%s'", config.dns1.c_str(),
                 config.dns1.empty() ? "" : ",", config.dns2.c_str());

    char command[256];
    int length = snprintf(command, sizeof(command), "nmcli con mod %s ipv4.method %s%s%s",
                          config.target_interface.c_str(), config.ip4_dhcp ? "auto" : "manual",
                          addresses, dns);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(command)) {
        LOG_ERROR("Command too long for %s: nothing sent", config.target_interface.c_str());
        return;
    }
    set_Command(command, nullptr, 0);
}

uint8_t Network::get_Network_Manager_Config(CONFIG_TYPE type, char* buffer,
                                            unsigned int buffer_length) {
    static const char* const fields[] = {"ipv4.method",    "ipv4.addresses", "ipv4.gateway",
                                         "ipv4.addresses", "ipv4.dns",       "ipv4.dns"};
    if (type > DNS2)
        return 1;

    char command[128];
    snprintf(command, sizeof(command), "nmcli -t -f %s con show %s", fields[type],
             config.target_interface.c_str());
    char work[128] = {};
    set_Command(command, work, sizeof(work) - 1);

    // The text of one line, from after the first ':' to the end of the line.
    const char* colon = strchr(work, ':');
    std::string after_colon = colon != nullptr ? std::string(colon + 1) : std::string();
    after_colon = after_colon.substr(0, after_colon.find_first_of("\r\n"));

    switch (type) {
    case MODE:
        buffer[0] = strstr(work, ":auto") != nullptr ? 0 : 1;
        return 0;
    case IP_ADDRESS: {
        size_t slash = after_colon.find('/');
        if (colon == nullptr || slash == std::string::npos)
            copy_Text(buffer, buffer_length, default_network_info.ip4_address.c_str());
        else
            copy_Text(buffer, buffer_length, after_colon.substr(0, slash).c_str());
        return 0;
    }
    case GATEWAY:
        if (colon != nullptr && after_colon.empty())
            copy_Text(buffer, buffer_length, default_network_info.ip4_gateway.c_str());
        else
            copy_Text(buffer, buffer_length, after_colon.c_str());
        return 0;
    case SUBNETMASK: {
        size_t slash = after_colon.find('/');
        unsigned int prefix = 0;
        if (colon != nullptr && slash != std::string::npos &&
            parse_Prefix_Length(after_colon.c_str() + slash + 1, false, &prefix))
            copy_Text(buffer, buffer_length, get_Prefix_Netmask(prefix).c_str());
        else
            copy_Text(buffer, buffer_length, default_network_info.ip4_subnetmask.c_str());
        return 0;
    }
    case DNS1: {
        if (work[0] == '\0') {
            copy_Text(buffer, buffer_length, "");
            return 0;
        }
        std::string first = after_colon.substr(0, after_colon.find(','));
        if (!first.empty())
            copy_Text(buffer, buffer_length, first.c_str());
        return 0;
    }
    case DNS2: {
        if (work[0] == '\0') {
            copy_Text(buffer, buffer_length, "");
            return 0;
        }
        size_t comma = after_colon.find(',');
        if (comma != std::string::npos) {
            std::string second = after_colon.substr(comma + 1);
            copy_Text(buffer, buffer_length, second.substr(0, second.find(',')).c_str());
        }
        return 0;
    }
    }
    return 1;
}

// ---- ifupdown backend -------------------------------------------------------

uint8_t Network::get_ifupdown_Config(const char* path, CONFIG_TYPE type, char* buffer,
                                     unsigned int buffer_length) {
    char work[128] = {};
    switch (type) {
    case MODE: {
        char key[32];
        snprintf(key, sizeof(key), "iface %s inet", config.target_interface.c_str());
        Config_File::get_Data(path, key, work, sizeof(work), ' ', nullptr, false);
        buffer[0] = strstr(work, "dhcp") != nullptr ? 0 : 1;
        return 0;
    }
    case IP_ADDRESS:
        Config_File::get_Data(path, "address", work, sizeof(work), ' ', "hwaddress", false);
        copy_Text(buffer, buffer_length, work);
        return 0;
    case GATEWAY:
        Config_File::get_Data(path, "gateway", work, sizeof(work), ' ', nullptr, false);
        copy_Text(buffer, buffer_length, work);
        return 0;
    case SUBNETMASK:
        Config_File::get_Data(path, "netmask", work, sizeof(work), ' ', nullptr, false);
        copy_Text(buffer, buffer_length, work);
        return 0;
    case DNS1:
    case DNS2:
        return 0;
    }
    return 1;
}

uint8_t Network::set_ifupdown_Config(const char* path, CONFIG_TYPE type, const char* str) {
    // A write-back that failed part-way is the one failure reported: an
    // absent key or file leaves the stanza unchanged.
    bool write_failed = false;
    auto set_Value = [&](const char* key, const char* value, const char* ignore) {
        write_failed |= Config_File::set_Data(path, key, value, ' ', ignore) == 1;
    };
    auto set_Comment = [&](const char* key, bool comment, const char* ignore) {
        write_failed |= Config_File::set_Data_Comment(path, key, comment, ' ', ignore) == 2;
    };
    // An empty text is a setting not made: ifupdown refuses a whole file
    // that holds an option without a value, so the line is commented out.
    auto set_Option = [&](const char* key, const char* ignore) {
        if (*str == '\0') {
            set_Comment(key, true, ignore);
            return;
        }
        set_Comment(key, false, ignore);
        set_Value(key, str, ignore);
    };

    switch (type) {
    case MODE: {
        char key[32];
        snprintf(key, sizeof(key), "iface %s inet", config.target_interface.c_str());
        bool is_static = *str != 0;
        set_Value(key, is_static ? "static" : "dhcp", nullptr);
        set_Comment("address", !is_static, "hwaddress");
        set_Comment("netmask", !is_static, nullptr);
        set_Comment("gateway", !is_static, nullptr);
        break;
    }
    case IP_ADDRESS:
        set_Option("address", "hwaddress");
        break;
    case GATEWAY:
        set_Option("gateway", nullptr);
        break;
    case SUBNETMASK:
        set_Option("netmask", nullptr);
        break;
    case DNS1:
    case DNS2:
        return 0;
    default:
        return 1;
    }
    if (write_failed) {
        LOG_ERROR("Write Failed: %s", path);
        return 1;
    }
    return 0;
}
