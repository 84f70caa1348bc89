// Where the layer in front of the simulated SDK takes SDK calls over:
// forwarding to another SDK library, recording the session, or answering
// from a recording (standin/passthrough/).  That layer includes the simulated
// SDK's headers, never the other way round: it sets the mode here when the
// library is loaded and defines Passed<>::call for every SDK function.
#ifndef VQSIM_PASSING_H
#define VQSIM_PASSING_H

#include "functions.h"

namespace vqsim {

enum class PassMode : unsigned char { kOff, kForward, kReplay };
extern PassMode g_pass_mode;  // written once, by the load-time initialisation

inline bool passing() { return g_pass_mode != PassMode::kOff; }
inline bool forwarding() { return g_pass_mode == PassMode::kForward; }

// The passed-on version of the SDK function `id` of type F.
template <Fn id, class F>
struct Passed;
template <Fn id, class R, class... A>
struct Passed<id, R (*)(A...)> {
  static R call(A... a);
};

// vqsim_reset's part in the layer in front (the recording written out), if any.
extern void (*g_pass_reset)();

}  // namespace vqsim

// First statement of every exported SDK function: `args` is its parameter
// list in parentheses.  One predictable branch when no mode is on.
#define VQSIM_PASS(name, args) \
  if (__builtin_expect(::vqsim::passing(), 0)) \
  return ::vqsim::Passed<::vqsim::FN_##name, decltype(&::name)>::call args

#endif  // VQSIM_PASSING_H
