/* Force-included (-include) into the daemon built against the device's own
 * libraries: their libubox headers carry no extern "C" of their own, and the
 * oracle's vimb-shim.h (which declares the two remote extensions) pulls them
 * in before any source file can wrap them. */
#ifdef __cplusplus
extern "C" {
#endif
#include <libubox/blobmsg.h>
#include <libubox/list.h>
#include <libubox/uloop.h>
#ifdef __cplusplus
}
#endif
#include <vimb-shim.h>
