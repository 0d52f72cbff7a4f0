/*
 * Background tasks (being written).
 */
#include "kivo/kivo.h"

extern "C" {

void backgroundtask_init(void) {}
t_kivo_err backgroundtask_execute(t_object *, void *, t_backgroundtask_fn, t_backgroundtask_fn,
                                  t_backgroundtask_request **req, void *) {
    if (req) *req = nullptr;
    return -1;
}
t_kivo_err backgroundtask_execute_method(t_object *, t_symbol *, long, const t_atom *, t_object *,
                                         t_symbol *, long, const t_atom *,
                                         t_backgroundtask_request **req, void *) {
    if (req) *req = nullptr;
    return -1;
}
t_kivo_err backgroundtask_makerequest(t_backgroundtask_request *) { return -1; }
long backgroundtask_cancel(t_backgroundtask_request *) { return 0; }
t_kivo_err backgroundtask_join(t_backgroundtask_request *) { return 0; }
void backgroundtask_purge_object(t_object *) {}
void backgroundtask_join_object(t_object *) {}
void backgroundtask_terminate(void) {}

} // extern "C"
