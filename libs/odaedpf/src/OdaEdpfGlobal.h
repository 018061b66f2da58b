// Process-wide set-up of the framework's runtime (APR).
//
// GlobalInit is called once before any framework object is used, GlobalDeinit
// once after the last one is gone; both run on the owner's thread.
#ifndef ODAEDPF_GLOBAL_H
#define ODAEDPF_GLOBAL_H

namespace OdaEdpf {

// Initialises APR. Returns false (after undoing the attempt) on failure.
bool GlobalInit();
// Releases what GlobalInit acquired.
void GlobalDeinit();

}  // namespace OdaEdpf

#endif  // ODAEDPF_GLOBAL_H
