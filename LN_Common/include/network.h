// Network: the one Ethernet interface the daemon manages. Holds the settings
// the BMC may change (`config`), the live IPv4 state the kernel reports
// (`default_network_info`), detects which network manager the host uses
// (netplan, ifupdown or NetworkManager; creating a configuration when the
// host has none) and reads, collects and applies the IPv4 settings through
// one backend per manager.
//
// Every member is static; the class is never instantiated. After start-up the
// live state belongs to the main thread and `config` to the link thread; no
// lock is taken.
#pragma once

#include <cstdint>
#include <regex>
#include <string>

class Network {
public:
    Network() = delete;

    enum MANAGER_TYPE : uint8_t {
        UNKNOWN = 0,
        NETPLAN = 1,
        IFUPDOWN = 2,
        NETWORK_MANAGER = 3,
    };

    // The numbers equal the BMC's network subaddresses for the same settings.
    enum CONFIG_TYPE : uint8_t {
        MODE = 0,
        IP_ADDRESS = 1,
        GATEWAY = 2,
        SUBNETMASK = 3,
        DNS1 = 4,
        DNS2 = 5,
    };

    // One interface's IPv4 settings. An empty text means not set.
    struct Config {
        std::string target_interface;
        bool ip4_dhcp = false;
        std::string ip4_address;
        std::string ip4_subnetmask;
        std::string ip4_gateway;
        std::string dns1;
        std::string dns2;
    };

    // Display text of each MANAGER_TYPE, indexed by its value.
    static const char* const MANAGER_TYPE_STRING[4];
    // Display text of the manager that the host uses now.
    static const char* get_Manager_Type_String();

    // Samples the live IPv4 address, netmask and gateway of the default route's
    // interface; raises the update flag when they changed.
    static void update_Default_IP_Info();
    // Returns the update flag and clears it.
    static bool get_Default_IP_Info_Update_Flag();
    static Config get_Default_IP_Info();
    // "XX:XX:XX:XX:XX:XX" of the managed interface.
    static std::string get_Interface_MAC_Address();

    // Reads one setting of the managed interface from the manager's
    // configuration. MODE: first byte 0 DHCP, 1 static. Others: a terminated
    // dotted-quad text, or `buffer` untouched when the manager holds none.
    // 0 success, 1 failure.
    static uint8_t get_Config(CONFIG_TYPE type, char* buffer, unsigned int buffer_length);
    // Takes one setting from the BMC. MODE: `str` points at the mode byte
    // (0 DHCP, non-zero static). Others: `str` is empty or a dotted-quad IPv4
    // text. 0 taken; 1 refused (nothing changed).
    static uint8_t set_Config(CONFIG_TYPE type, const char* str);
    // Writes the collected settings into the manager and activates them.
    // true when the apply steps were run.
    static bool set_Config_Apply();

    // Names the managed interface and loads its current settings.
    static void set_Interface_Name(const char* name);
    static const char* get_Interface_Name();

    // True for the empty text or four decimal numbers 0..255 (no leading
    // zeros, no sign, no spaces) separated by dots.
    static bool is_Valid_IPv4_Text(const char* text);
    // True for the empty text or a dotted netmask whose 1 to 32 one bits are
    // contiguous from the top.
    static bool is_Valid_Netmask_Text(const char* text);

private:
    // The netplan document work uses the IPv4 entry expression.
    friend class Netplan_Document;

    static MANAGER_TYPE get_Manager_Type(char* buffer, unsigned int buffer_length);
    static bool get_netplan_Config_Exist(char* buffer, unsigned int buffer_length);
    static bool get_ifupdown_Config_Exist(char* buffer, unsigned int buffer_length);
    static bool get_Network_Manager_Config_Exist(char* buffer, unsigned int buffer_length);
    static const std::string get_Network_Manager_Config_Path();
    static bool get_Network_Manager_Service_Status();

    static void init_netplan_Config();
    static void update_netplan_Config();
    // Reads one setting from the netplan file; a Netplan_Document::RESULT.
    static uint8_t get_netplan_Config(const char* path, CONFIG_TYPE type, std::string* value,
                                      bool* found, std::string* why);

    static void init_Network_Manager_Config();
    static void update_Network_Manager_Config();
    static uint8_t get_Network_Manager_Config(CONFIG_TYPE type, char* buffer,
                                              unsigned int buffer_length);

    static uint8_t get_ifupdown_Config(const char* path, CONFIG_TYPE type, char* buffer,
                                       unsigned int buffer_length);
    static uint8_t set_ifupdown_Config(const char* path, CONFIG_TYPE type, const char* str);
    // Whether the stanza can be brought up: not static, or a static address
    // with a usable prefix. `why` says what is missing otherwise.
    static bool get_ifupdown_Config_Usable(const char* path, std::string* why);
    // Before a DHCP stanza is restarted: removes the interface's own IPv4
    // addresses, which ifdown of a DHCP stanza would leave.
    static void set_ifupdown_DHCP_Address_Flush(const char* path);

    static const std::regex ipv4_regex;
    static const std::string netplan_config_path;
    static const std::string ifupdown_config_path;
    static const std::string nmcli_config_path;
    static const std::string nmcli_config_prefix;
    static const std::string nmcli_config_postfix;

    static Config default_network_info;
    static bool default_network_info_update_flag;
    static Config config;
};
