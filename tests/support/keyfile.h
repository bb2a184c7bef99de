// What a NetworkManager keyfile says, whichever way the release's
// NetworkManager spells it, for tests that judge a keyfile nmcli wrote.
#pragma once

#include <map>
#include <string>

// "section.key" -> value, for every key line of `text`. NetworkManager up to
// 1.50 writes a section's gateway on its first address line
// ("address1=192.0.2.10/24,192.0.2.1"), 1.52 as a key of its own
// ("gateway=192.0.2.1"); both come out as the latter.
using Keyfile_Meaning = std::map<std::string, std::string>;

Keyfile_Meaning keyfile_Meaning(const std::string& text);
