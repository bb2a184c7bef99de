// Network: the managed interface, its live IPv4 state, detection of the
// host's network manager and the three backends (netplan, NetworkManager,
// ifupdown) that read and apply the BMC's IPv4 settings.
//
// Values from the BMC are checked once, in set_Config: only the empty text or
// a dotted-quad IPv4 address (for the netmask, a contiguous one) is taken, so
// nothing but an address can reach a YAML file, a stanza file or a command
// line. An apply that would give the interface no usable address (no address,
// 0.0.0.0, no prefix) writes and sends nothing, so the card keeps what it has.
// Every file is replaced whole (file_replace.h).
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
#include <cstring>

#include "config_file_handling.h"
#include "extra_command_handling.h"
#include "file_replace.h"
#include "ipv4_text.h"
#include "log.h"
#include "netplan_document.h"
#include "os_wrappers.h"

static const char* const __log_tag = "Network";

namespace {

// ---- Kernel interface -------------------------------------------------------

// Issues one interface request for `name` on a fresh AF_INET datagram socket.
// `request_record` is prepared all zero with the name and the family first,
// so a failed request leaves an all-zero address behind.
bool request_Interface(unsigned long request, const char* name, struct ifreq* request_record) {
    memset(request_record, 0, sizeof(*request_record));
    strncpy(request_record->ifr_name, name, IFNAMSIZ - 1);
    request_record->ifr_addr.sa_family = AF_INET;
    Unique_Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid())
        return false;
    return ioctl(sock.get(), request, request_record) == 0;
}

// Logs one ERROR line when the managed interface does not exist (a card
// whose Ethernet came up under another name): the BMC's settings are still
// kept and written for it, but reach no interface until one of that name
// appears, and the BMC would otherwise see its request ignored without a word.
void report_Missing_Interface(const std::string& name) {
    if (if_nametoindex(name.c_str()) == 0)
        LOG_ERROR("Managed interface %s does not exist: the BMC's network settings reach no interface",
                  name.c_str());
}

// The whole content of a file. False when it cannot be opened or read.
bool read_Text_File(const char* path, std::string* content) {
    File_Ptr file(fopen(path, "re"));
    if (!file)
        return false;
    char block[4096];
    size_t count;
    while ((count = fread(block, 1, sizeof(block), file.get())) > 0)
        content->append(block, count);
    return ferror(file.get()) == 0;
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

// A short printable form of a text from outside (the BMC, a file) for a log
// line: at most 19 characters, anything unprintable shown as '?'.
std::string get_Printable(const char* text) {
    const size_t shown = 19;
    std::string printable;
    for (size_t i = 0; i < shown && text[i] != '\0'; i++)
        printable += (text[i] >= 0x20 && text[i] < 0x7F) ? text[i] : '?';
    if (strlen(text) > shown)
        printable += "...";
    return printable;
}

// Checks that a static address and netmask make a usable interface address:
// a dotted quad other than 0.0.0.0, with a contiguous netmask of 1 to 32 bits.
// Its prefix length goes to `*prefix`; otherwise `*why` says what is wrong.
bool get_Static_Prefix(const std::string& address, const std::string& netmask, unsigned int* prefix,
                       std::string* why) {
    uint32_t value = 0;
    if (address.empty()) {
        *why = "no address";
        return false;
    }
    if (!parse_Dotted_Quad(address.c_str(), &value) || value == 0) {
        *why = "address \"" + get_Printable(address.c_str()) + "\"";
        return false;
    }
    if (netmask.empty()) {
        *why = "no netmask";
        return false;
    }
    if (!get_Netmask_Prefix(netmask.c_str(), prefix) || *prefix == 0) {
        *why = "netmask \"" + get_Printable(netmask.c_str()) + "\"";
        return false;
    }
    return true;
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
    uint32_t value = 0;
    return text != nullptr && (text[0] == '\0' || parse_Dotted_Quad(text, &value));
}

bool Network::is_Valid_Netmask_Text(const char* text) {
    unsigned int prefix = 0;
    return text != nullptr &&
           (text[0] == '\0' || (get_Netmask_Prefix(text, &prefix) && prefix > 0));
}

// ---- Interface, live state -----------------------------------------------

void Network::set_Interface_Name(const char* name) {
    config.target_interface = name;
    report_Missing_Interface(config.target_interface);
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

const char* Network::get_Manager_Type_String() {
    return MANAGER_TYPE_STRING[get_Manager_Type(nullptr, 0)];
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
    if (type == SUBNETMASK && !is_Valid_Netmask_Text(str)) {
        LOG_ERROR("Refused type %d: \"%s\" is not a netmask of 1 to 32 bits", type,
                  get_Printable(str).c_str());
        return 1;
    }
    if (type != MODE && !is_Valid_IPv4_Text(str)) {
        LOG_ERROR("Refused type %d: \"%s\" is not an IPv4 address", type,
                  get_Printable(str).c_str());
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
    case NETPLAN: {
        if (type > DNS2)
            return 1;
        std::string value;
        bool found = false;
        std::string why;
        switch (get_netplan_Config(path, type, &value, &found, &why)) {
        case Netplan_Document::OK:
            break;
        case Netplan_Document::NO_INTERFACE:
            LOG_ERROR("target inferface is not defined");
            return 1;
        case Netplan_Document::FORMAT_ERROR:
            LOG_ERROR("Config File Format Error: %s", why.c_str());
            return 1;
        default:
            LOG_ERROR("Config File Load Error");
            return 1;
        }
        if (found && type == MODE)
            buffer[0] = value[0];
        else if (found)
            copy_Text(buffer, buffer_length, value.c_str());
        return 0;
    }
    case IFUPDOWN:
        return get_ifupdown_Config(path, type, buffer, buffer_length);
    case NETWORK_MANAGER:
        return get_Network_Manager_Config(type, buffer, buffer_length);
    default:
        return 1;
    }
}

bool Network::set_Config_Apply() {
    report_Missing_Interface(config.target_interface);
    char path[100] = {};
    switch (get_Manager_Type(path, sizeof(path))) {
    case IFUPDOWN: {
        // Restarting the service takes the interface down first: a stanza
        // that cannot come up again would leave the card unreachable.
        std::string why;
        if (!get_ifupdown_Config_Usable(path, &why)) {
            LOG_ERROR("Static setting not usable (%s): networking not restarted", why.c_str());
            return false;
        }
        set_ifupdown_DHCP_Address_Flush(path);
        set_Command("systemctl restart networking.service", nullptr, 0, COMMAND_APPLY);
        return true;
    }
    case NETPLAN:
        update_netplan_Config();
        set_Command("netplan apply", nullptr, 0, COMMAND_APPLY);
        return true;
    case NETWORK_MANAGER: {
        update_Network_Manager_Config();
        char command[128];
        snprintf(command, sizeof(command), "nmcli device reapply %s",
                 config.target_interface.c_str());
        set_Command(command, nullptr, 0, COMMAND_APPLY);
        return true;
    }
    default:
        return false;
    }
}

// ---- Netplan backend --------------------------------------------------------

void Network::init_netplan_Config() {
    // netplan warns about configuration files that others can read.
    int error = replace_File(netplan_config_path.c_str(),
                             Netplan_Document::get_Default(config.target_interface), 0600,
                             File_Mode_Rule::KEEP);
    if (error != 0) {
        LOG_ERROR("Generate Failed");
        LOG_DEBUG("%s: %s", netplan_config_path.c_str(), strerror(error));
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
    std::string text;
    if (!read_Text_File(path, &text)) {
        puts("Config File Load Error");
        return;
    }
    // netplan refuses an address without a usable prefix, and the interface
    // would have no configuration at the next boot: nothing is written then.
    unsigned int prefix = 0;
    std::string why;
    if (!config.ip4_dhcp &&
        !get_Static_Prefix(config.ip4_address, config.ip4_subnetmask, &prefix, &why)) {
        LOG_ERROR("Static setting not usable (%s): %s left unchanged", why.c_str(), path);
        return;
    }
    std::string document;
    switch (Netplan_Document::update(text, config, prefix, &document, &why)) {
    case Netplan_Document::OK:
        break;
    case Netplan_Document::FORMAT_ERROR:
        LOG_ERROR("%s: %s, file left unchanged", path, why.c_str());
        return;
    default:
        puts("Config File Load Error");
        return;
    }
    int error = replace_File(path, document, 0600, File_Mode_Rule::KEEP);
    if (error != 0)
        LOG_ERROR("Write Failed: %s: %s", path, strerror(error));
}

uint8_t Network::get_netplan_Config(const char* path, CONFIG_TYPE type, std::string* value,
                                    bool* found, std::string* why) {
    std::string text;
    if (!read_Text_File(path, &text))
        return Netplan_Document::LOAD_ERROR;
    return Netplan_Document::read(text, config.target_interface, type, default_network_info, value,
                                  found, why);
}

// ---- NetworkManager backend -------------------------------------------------

void Network::init_Network_Manager_Config() {
    const std::string path = get_Network_Manager_Config_Path();
    const std::string content =
        nmcli_config_prefix + config.target_interface + "\n" + nmcli_config_postfix;
    // NetworkManager ignores keyfiles that others can read: 0600 from the
    // start, also in place of a file that was there before.
    int error = replace_File(path.c_str(), content, 0600, File_Mode_Rule::FORCE);
    if (error != 0) {
        LOG_ERROR("Generate Failed");
        LOG_DEBUG("%s: %s", path.c_str(), strerror(error));
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

    set_Command("nmcli con reload", nullptr, 0, COMMAND_ACTION);
    LOG_INFO("Config Reloaded");
}

void Network::update_Network_Manager_Config() {
    // Values loaded from the host at start-up did not pass set_Config; they
    // go into a command line, so they are held to the same rule here.
    const std::string* used[] = {&config.dns1, &config.dns2, &config.ip4_gateway};
    size_t used_count = config.ip4_dhcp ? 2 : 3;
    for (size_t i = 0; i < used_count; i++) {
        if (!is_Valid_IPv4_Text(used[i]->c_str())) {
            LOG_ERROR("Setting \"%s\" is not an IPv4 address: nothing sent",
                      get_Printable(used[i]->c_str()).c_str());
            return;
        }
    }
    // NetworkManager takes an address without a usable prefix and the device
    // then has no usable address: nothing is sent instead.
    unsigned int prefix = 0;
    std::string why;
    if (!config.ip4_dhcp &&
        !get_Static_Prefix(config.ip4_address, config.ip4_subnetmask, &prefix, &why)) {
        LOG_ERROR("Static setting not usable (%s): nothing sent", why.c_str());
        return;
    }

    // In DHCP mode the static address and gateway are cleared: with method
    // auto NetworkManager keeps both beside the lease, and the old static
    // default route would stay in force.
    char addresses[80] = " ipv4.addresses '' ipv4.gateway ''";
    if (!config.ip4_dhcp)
        snprintf(addresses, sizeof(addresses), " ipv4.addresses '%s/%u' ipv4.gateway '%s'",
                 config.ip4_address.c_str(), prefix, config.ip4_gateway.c_str());
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
    set_Command(command, nullptr, 0, COMMAND_ACTION);
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

namespace {

// First words of the lines that open an ifupdown stanza; the option lines
// after one belong to it.
const char* const ifupdown_stanza_openers[] = {
    "iface",        "mapping",    "auto",   "allow-", "source", "source-directory",
    "no-auto-down", "no-scripts", "rename", nullptr};

// The managed interface's IPv4 stanza ("iface eth0 inet ...") as the scope of
// every read and edit, so that an inet6 stanza, other interfaces and "up"
// commands that mention a key are never touched.
class Stanza {
public:
    Stanza(const char* file_path, const std::string& interface)
        : path(file_path), method_key("iface " + interface + " inet"),
          start(method_key + " "), scope{start.c_str(), ifupdown_stanza_openers} {}
    Stanza(const Stanza&) = delete;
    Stanza& operator=(const Stanza&) = delete;

    // The key of the stanza's opening line, whose value is the method.
    const char* get_Method_Key() const { return method_key.c_str(); }

    // The value of `key` in the stanza; empty when it has none.
    std::string get(const char* key, const char* ignore) const {
        char work[128] = {};
        Config_File::get_Data(path, key, work, sizeof(work), ' ', ignore, false, &scope);
        std::string value = work;
        return value.substr(0, value.find_last_not_of(" \t") + 1);
    }
    // Config_File::set_Data within the stanza.
    uint8_t set(const char* key, const char* value, const char* ignore) const {
        return Config_File::set_Data(path, key, value, ' ', ignore, &scope);
    }
    // Config_File::set_Data_Comment within the stanza.
    uint8_t set_Comment(const char* key, bool comment, const char* ignore) const {
        return Config_File::set_Data_Comment(path, key, comment, ' ', ignore, &scope);
    }

private:
    const char* path;
    const std::string method_key;
    const std::string start;
    const Config_File::Scope scope;
};

} // namespace

uint8_t Network::get_ifupdown_Config(const char* path, CONFIG_TYPE type, char* buffer,
                                     unsigned int buffer_length) {
    const Stanza stanza(path, config.target_interface);
    switch (type) {
    case MODE:
        buffer[0] =
            stanza.get(stanza.get_Method_Key(), nullptr).find("dhcp") != std::string::npos ? 0 : 1;
        return 0;
    case IP_ADDRESS:
        copy_Text(buffer, buffer_length, stanza.get("address", "hwaddress").c_str());
        return 0;
    case GATEWAY:
        copy_Text(buffer, buffer_length, stanza.get("gateway", nullptr).c_str());
        return 0;
    case SUBNETMASK:
        copy_Text(buffer, buffer_length, stanza.get("netmask", nullptr).c_str());
        return 0;
    case DNS1:
    case DNS2:
        return 0;
    }
    return 1;
}

uint8_t Network::set_ifupdown_Config(const char* path, CONFIG_TYPE type, const char* str) {
    const Stanza stanza(path, config.target_interface);
    // A write that failed, and a file without the stanza, are reported; an
    // absent key line is not (the key is added or there is nothing to do).
    bool write_failed = false;
    bool no_stanza = false;
    auto set_Value = [&](const char* key, const char* value, const char* ignore) {
        uint8_t result = stanza.set(key, value, ignore);
        write_failed |= result == 1;
        no_stanza |= result == 3;
    };
    auto set_Comment = [&](const char* key, bool comment, const char* ignore) {
        write_failed |= stanza.set_Comment(key, comment, ignore) == 2;
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
        bool is_static = *str != 0;
        set_Value(stanza.get_Method_Key(), is_static ? "static" : "dhcp", nullptr);
        if (no_stanza)
            break;
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
    if (no_stanza) {
        LOG_ERROR("No \"%s\" stanza in %s: nothing written", stanza.get_Method_Key(), path);
        return 1;
    }
    if (write_failed) {
        LOG_ERROR("Write Failed: %s", path);
        return 1;
    }
    return 0;
}

// ifdown takes the interface down by its stanza as it reads now, not as it
// was brought up: a stanza switched from static to DHCP releases a lease it
// never had and leaves the static address on the interface, beside the new
// lease. Before the restart of a DHCP stanza the interface's own addresses
// go, as ifdown of a static stanza removes them.
void Network::set_ifupdown_DHCP_Address_Flush(const char* path) {
    char mode[128] = {};
    get_ifupdown_Config(path, MODE, mode, sizeof(mode));
    if (mode[0] != 0)
        return;
    char command[128];
    snprintf(command, sizeof(command), "ip -4 addr flush dev %s label %s",
             config.target_interface.c_str(), config.target_interface.c_str());
    set_Command(command, nullptr, 0, COMMAND_ACTION);
}

bool Network::get_ifupdown_Config_Usable(const char* path, std::string* why) {
    const Stanza stanza(path, config.target_interface);
    const std::string method = stanza.get(stanza.get_Method_Key(), nullptr);
    if (method.compare(0, method.find_first_of(" \t"), "static") != 0)
        return true; // dhcp, manual and the rest need no address of their own
    std::string address = stanza.get("address", "hwaddress");
    std::string netmask = stanza.get("netmask", nullptr);
    // ifupdown also takes "address A/P", and "netmask P" as a prefix length.
    unsigned int prefix = 0;
    size_t slash = address.find('/');
    if (slash != std::string::npos) {
        if (parse_Prefix_Length(address.c_str() + slash + 1, true, &prefix))
            netmask = get_Prefix_Netmask(prefix);
        address.resize(slash);
    } else if (parse_Prefix_Length(netmask.c_str(), true, &prefix) && !netmask.empty()) {
        netmask = get_Prefix_Netmask(prefix);
    }
    return get_Static_Prefix(address, netmask, &prefix, why);
}
