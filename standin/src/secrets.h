// Which SDK arguments and results are secrets: tokens, passwords, keys, and
// the password inside a server address (user:password@host).  The trace
// ($VQSDK_TRACE) and a recording write `<secret>` in their place unless
// $VQSDK_RECORD_SECRETS=1.
#ifndef VQSIM_SECRETS_H
#define VQSIM_SECRETS_H

#include <cstddef>
#include <string>

#include "functions.h"

namespace vqsim {

// What stands for a secret.
constexpr const char* kSecret = "<secret>";

// Bit k set: argument k of `fn` (as recorded) holds a secret.
unsigned secret_arguments(Fn fn);
// Bit k set: argument k of `fn` holds server addresses.
unsigned address_arguments(Fn fn);
// True when the text `fn` hands out is a secret itself.
bool secret_result(Fn fn);
// True when the text `fn` hands out is a server address.
bool address_result(Fn fn);

// The addresses in `text` with the password of every user:password@host
// replaced by kSecret, in `masked`; false (and `masked` untouched) when no
// address in it has a password.
bool mask_addresses(const char* text, std::size_t size, std::string& masked);

// True with $VQSDK_RECORD_SECRETS=1: secrets are traced and recorded as they are.
bool secrets_shown();

}  // namespace vqsim

#endif  // VQSIM_SECRETS_H
