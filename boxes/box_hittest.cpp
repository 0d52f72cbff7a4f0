/*
 * Hit testing: whether a point of the editing view lies on a box, on one
 * of its inlets or on one of its outlets.
 *
 * Inlets and outlets are only hit in an unlocked view in patching mode;
 * their areas are a little larger than drawn (2 units left and right, 1.5
 * up and down) so that thin inlets can be caught. With patch-cord priority
 * on, an inlet's area ends at the box's top edge and an outlet's at its
 * bottom edge, so that a cord passing just outside the box wins there.
 *
 * Main thread only.
 */
#include "app/startup.h"
#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kivo/attr.h"
#include "kivo/dispatch.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }

bool view_flag(t_object *view, const char *name) {
    return view && object_attr_getchar(view, sym(name)) != 0;
}

bool in_rect(double x, double y, const t_rect &r) {
    return x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height;
}

long answer(long *result, long *index, long r, long i) {
    if (result) *result = r;
    if (index) *index = i;
    return r;
}

} // namespace

extern "C" {

// The view layer answers from its selection; until it exists a view says
// which boxes it has selected through its "selectedboxes" attribute.
__attribute__((weak)) long jbox_is_selected_in_view(t_object *box, t_object *view) {
    if (!box || !view) return 0;
    long ac = 0;
    t_atom *av = nullptr;
    if (object_attr_getvalueof(view, sym("selectedboxes"), &ac, &av) != 0) return 0;
    bool found = false;
    for (long i = 0; i < ac && av; ++i)
        if (atom_gettype(av + i) == AT_OBJ && atom_getobj(av + i) == box) found = true;
    if (av) sysmem_freeptr(av);
    return found;
}

long jbox_hittest(t_jbox *b, t_object *view, long modifiers, long *result, long *index, double x,
                  double y) {
    t_jpatcher *p = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!b || !p) return answer(result, index, JBOX_HITTEST_NOTHING, 0);
    bool cordpriority = preferences_getoption("prioritizepatchlines") != 0;
    if (modifiers & JBOX_HITTEST_INVERT_PRIORITY) cordpriority = !cordpriority;
    bool locked = false, presentation = false;
    if (view) {
        locked = view_flag(view, "locked") || view_flag(view, "unlockedinteraction");
        presentation = view_flag(view, "presentation");
    }
    const t_rect &r = presentation ? b->b_presentation_rect : b->b_patching_rect;
    const double rx = x - r.x, ry = y - r.y;
    const double W = r.width, H = r.height;

    if (!locked && !presentation) {
        const double inh = p->iometrics[0], inoff = p->iometrics[1];
        const double outh = p->iometrics[2], outoff = p->iometrics[3];
        const bool inlets = ry <= inh + inoff;
        const bool outlets = !inlets && ry >= H - outh - outoff;
        if (inlets || outlets) {
            const long count = inlets ? jbox_numinlets(b) : jbox_numoutlets(b);
            for (long n = 0; n < count; ++n) {
                t_rect io;
                if (jbox_ioplacement(b, view, n, &io, outlets) != 0) continue;
                t_rect grown = {io.x - 2, io.y - 1.5, io.width + 4, io.height + 3};
                if (cordpriority) {
                    if (inlets && grown.y < 0) {
                        grown.height += grown.y;
                        grown.y = 0;
                    }
                    if (outlets && grown.y + grown.height > H) grown.height = H - grown.y;
                }
                if (in_rect(rx, ry, grown))
                    return answer(result, index, inlets ? JBOX_HITTEST_INLET : JBOX_HITTEST_OUTLET, n);
            }
        }
    }

    if (ry < 0 || ry > H || rx < 0 || rx > W) {
        if (locked || !jbox_is_selected_in_view(&b->b_ob, view))
            return answer(result, index, JBOX_HITTEST_NOTHING, 0);
        // The sizing handles of a selected box reach a little outside it.
        bool near = rx >= -3 && ry >= -3 && rx <= W + 3 && ry <= H + 3;
        return answer(result, index, near ? JBOX_HITTEST_BOX : JBOX_HITTEST_NOTHING, 0);
    }
    if (locked) {
        if (method hit = my_object_getmethod(&b->b_ob, sym("hittest"))) {
            auto fn = reinterpret_cast<long (*)(t_object *, t_object *, t_pt)>(
                reinterpret_cast<void (*)()>(hit));
            long r2 = fn(&b->b_ob, view, t_pt{rx, ry});
            return answer(result, index, r2 ? JBOX_HITTEST_BOX : JBOX_HITTEST_NOTHING, 0);
        }
    }
    double radius = p->iometrics[4];
    long in = jgraphics_ptinroundedrect(t_pt{rx, ry}, t_rect{0, 0, W, H}, radius, radius);
    return answer(result, index, in ? JBOX_HITTEST_BOX : JBOX_HITTEST_NOTHING, 0);
}

} // extern "C"
