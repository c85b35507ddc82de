# kestrad needs the target platform's libubus: the public one lacks the two
# remote extensions. Stop at configuration with one clear message rather
# than at the first compile error deep in the daemon.
include(CheckCXXSourceCompiles)

function(kestrad_require_remote_extensions)
  set(CMAKE_REQUIRED_INCLUDES ${UBOX_INCLUDE_DIR} ${UBUS_INCLUDE_DIR})
  set(CMAKE_REQUIRED_QUIET ON)
  # Compile only: whether the header declares them is the question here.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  unset(KESTRAD_HAVE_REMOTE_EXTENSIONS CACHE)
  check_cxx_source_compiles([[
extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
}
#include <libubus.h>
int kestrad_probe()
{
	struct ubus_context *(*c)(const struct sockaddr_in *) = vimb_connect;
	int (*r)(struct ubus_context *, struct ubus_object *) = ubus_replace_object;
	return c != nullptr && r != nullptr;
}
]] KESTRAD_HAVE_REMOTE_EXTENSIONS)
  if(NOT KESTRAD_HAVE_REMOTE_EXTENSIONS)
    message(FATAL_ERROR
      "${UBUS_INCLUDE_DIR}/libubus.h does not declare vimb_connect and ubus_replace_object. "
      "kestrad needs the target platform's libubus, which has these two remote extensions; "
      "the public libubus does not.")
  endif()
endfunction()
