#include "reply.h"

struct blob_buf reply_buf;
