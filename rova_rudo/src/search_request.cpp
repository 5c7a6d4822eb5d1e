// The request types are plain values defined in the header; this unit keeps
// the header compiling on its own.
#include "rova_rudo/search_request.hpp"
