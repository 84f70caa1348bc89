#include "secrets.h"

#include <cstdlib>
#include <cstring>

namespace vqsim {

unsigned secret_arguments(Fn fn) {
  switch (fn) {
    case FN_vqi_set_token:
    case FN_vqi_set_apitoken: return 1u << 0;   // the token
    case FN_vqi_set_ctp_md_info:                // front_addresses, user_name, password
    case FN_vqi_set_bus_info: return 1u << 2;   // server_addr, user_name, password
    case FN_vqi_set_bus_secure: return 1u << 3; // in_mode, tlsca, tlscert, tlskey, skip_verify
    default: return 0;
  }
}

unsigned address_arguments(Fn fn) {
  switch (fn) {
    case FN_vqi_set_serv_addr:
    case FN_vqi_set_serv_addr_v5:
    case FN_vqi_set_ctp_md_info:
    case FN_vqi_set_bus_info: return 1u << 0;
    default: return 0;
  }
}

bool secret_result(Fn fn) { return fn == FN_vqi_get_encrypted_token; }

bool address_result(Fn fn) { return fn == FN_vqi_get_serv_addr; }

namespace {

// Characters that end the user part of an address, going back from its '@'.
bool separates(char c) { return c == '/' || c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

bool mask_addresses(const char* text, std::size_t size, std::string& masked) {
  if (!text || !std::memchr(text, '@', size)) return false;
  std::string out;
  std::size_t copied = 0;  // text[0, copied) is in `out`
  for (std::size_t at = 0; at < size; ++at) {
    if (text[at] != '@') continue;
    // A password may hold '@' itself: the last one before the host ends it.
    std::size_t next = at + 1;
    while (next < size && text[next] != '@' && !separates(text[next])) ++next;
    if (next < size && text[next] == '@') continue;
    std::size_t user = at;
    while (user > copied && !separates(text[user - 1])) --user;
    const void* colon = std::memchr(text + user, ':', at - user);
    std::size_t password = colon ? static_cast<std::size_t>(static_cast<const char*>(colon) - text) + 1 : at;
    if (password == at) continue;  // no password
    out.append(text + copied, password - copied);
    out += kSecret;
    copied = at;
  }
  if (copied == 0) return false;
  out.append(text + copied, size - copied);
  masked = std::move(out);
  return true;
}

bool secrets_shown() {
  static const bool shown = [] {
    const char* value = std::getenv("VQSDK_RECORD_SECRETS");
    return value && value[0] && std::strcmp(value, "0") != 0;
  }();
  return shown;
}

}  // namespace vqsim
