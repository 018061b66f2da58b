// Brillify SDK: process-wide module set-up and clean-up.
//
// init_o_integer_module() prepares the SDK's global state (the HTTP stack)
// and must be called before any requester is constructed;
// cleanup_o_integer_module() releases it after the last requester is gone.
// Calls nest: each init needs one cleanup. Both run on the owner's thread.
#ifndef BRILLIFY_MODULE_H
#define BRILLIFY_MODULE_H

void init_o_integer_module();
void cleanup_o_integer_module();

namespace Brillify {
// Number of init_o_integer_module() calls not yet matched by a clean-up.
int ModuleInitCount();
}  // namespace Brillify

#endif  // BRILLIFY_MODULE_H
