/*
 * Start-up and shutdown hooks of collectives and packages. No package is
 * installed yet, so the sub-folder lists hold only the base folder.
 */
#include "app/startup.h"

extern "C" {

void xpcoll_init(void) {}
void xpcoll_close(void) {}
void packages_startup(void) {}
void unibrowser_communicator_shutdown(void) {}

t_linklist *packages_createsubpathlist(const char *foldername, short base) {
    (void)foldername;
    t_linklist *list = linklist_new();
    if (!list) return nullptr;
    if (base) linklist_append(list, reinterpret_cast<void *>(static_cast<t_ptr_int>(base)));
    // Enabled packages' sub-folders follow here; in safe mode there are none.
    return list;
}

} // extern "C"
