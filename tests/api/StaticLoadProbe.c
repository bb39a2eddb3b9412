/* Linked with the library at load time: the library's entry runs before main. */
#include "vlmufwdl.h"

int main(void) { return VLMUFWDL_GetApiVersion() == VLMUFWDL_API_VERSION ? 0 : 1; }
