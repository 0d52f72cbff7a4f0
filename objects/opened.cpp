/*
 * "opened": reports the documents that the application opens but does not
 * handle itself (pathname, file name, four-character type), optionally
 * opening a patcher file of its own when one arrives.
 *
 * An old-style class: defined on first use by the legacy creator, which is
 * also its constructor.
 *
 * Invariants:
 * - Every live object is on s_list (newest first) exactly once; freeing
 *   takes it off.
 * - The reported symbols are never null (the empty symbol until a report).
 * - Main thread only; the list has no lock.
 */
#include <cstring>

#include "kernel/obex_internal.h"
#include "files/loading_internal.h"
#include "objects/creator_internal.h"

namespace {

using kivo::obex::as_method;

constexpr t_fourcc kAnyType = KIVO_FOURCC('-', '-', '-', '-');

struct t_opened {
    t_object ob;
    void *out_path;     // left
    void *out_name;     // middle
    void *out_type;     // right
    t_qelem *qelem;     // owned
    t_fourcc filter;    // kAnyType: every type
    t_symbol *patcherfile; // the empty symbol: none
    t_symbol *pathname;
    t_symbol *filename;
    t_symbol *type;
    t_opened *next;     // the next older object on s_list
};

t_messlist *s_class = nullptr;
t_opened *s_list = nullptr;

void opened_output(t_opened *x) {
    t_atom a;
    t_symbol *symbol = gensym("symbol");
    atom_setsym(&a, x->type);
    outlet_anything(static_cast<t_outlet *>(x->out_type), symbol, 1, &a);
    atom_setsym(&a, x->filename);
    outlet_anything(static_cast<t_outlet *>(x->out_name), symbol, 1, &a);
    atom_setsym(&a, x->pathname);
    outlet_anything(static_cast<t_outlet *>(x->out_path), symbol, 1, &a);
}

void opened_qfn(t_opened *x) { opened_output(x); }

void opened_bang(t_opened *x) { opened_output(x); }

void opened_assist(t_opened *, void *, long msg, long arg, char *dst) {
    if (!dst) return;
    static const char *const outlets[] = {" Pathname", " Filename", " Four-character Type Code"};
    if (msg == 1)
        strncpy_zero(dst, " bang Reports Opened Filename and Type", 512);
    else if (msg == 2 && arg >= 0 && arg < 3)
        strncpy_zero(dst, outlets[arg], 512);
}

void opened_free(t_opened *x) {
    for (t_opened **p = &s_list; *p; p = &(*p)->next) {
        if (*p == x) {
            *p = x->next;
            break;
        }
    }
    if (x->qelem) qelem_free(x->qelem);
    x->qelem = nullptr;
}

void opened_setup(void *) {
    c_new(gensym("opened"), as_method(opened_free), sizeof(t_opened), 0, 0);
    addbang(as_method(opened_bang));
    addmess(as_method(opened_assist), "assist", AT_CANT, 0);
}

t_fourcc filter_of(t_symbol *type) {
    if (!type || !type->name[0]) return kAnyType;
    t_fourcc f = 0;
    const char *s = type->name;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = *s ? static_cast<unsigned char>(*s++) : 0;
        f = (f << 8) | c;
    }
    return f;
}

t_symbol *type_symbol(t_fourcc type) {
    char text[5];
    int n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((type >> shift) & 0xff);
        if (!c) break;
        text[n++] = c;
    }
    text[n] = '\0';
    return gensym(text);
}

void opened_report(t_opened *x, const char *filename, short path, t_fourcc type) {
    char full[KIVO_PATH_MAX];
    if (path_topathname(path, filename, full) != 0 &&
        path_toabsolutesystempath(path, filename, full) != 0)
        strncpy_zero(full, filename, sizeof full);
    x->filename = gensym(filename);
    x->pathname = gensym(full);
    x->type = type_symbol(type);

    if (x->patcherfile && x->patcherfile->name[0]) {
        char name[KIVO_PATH_MAX];
        strncpy_zero(name, x->patcherfile->name, sizeof name);
        const t_fourcc types[] = {KIVO_FOURCC('k', 'v', 'o', 'b'), KIVO_FOURCC('T', 'E', 'X', 'T')};
        short found_path = 0;
        t_fourcc found_type = 0;
        if (locatefile_extended(name, &found_path, &found_type, types, 2) != 0) {
            object_error(&x->ob, "can't open %s", x->patcherfile->name);
        } else if (void *p = fileload(name, found_path)) {
            object_method(p, gensym("front"));
        }
    }
    qelem_set(x->qelem);
}

} // namespace

extern "C" {

void *opened_new(t_symbol *type, t_symbol *patcherfile) {
    auto *x = static_cast<t_opened *>(obj_new(&s_class, as_method(opened_setup)));
    if (!x) return nullptr;
    x->out_type = outlet_new(x, nullptr);
    x->out_name = outlet_new(x, nullptr);
    x->out_path = outlet_new(x, nullptr);
    x->qelem = qelem_new(x, as_method(opened_qfn));
    x->filter = filter_of(type);
    x->patcherfile = patcherfile ? patcherfile : gensym("");
    x->pathname = x->filename = x->type = gensym("");
    x->next = s_list;
    s_list = x;
    return x;
}

short opened_load(const char *filename, short path, t_fourcc type) {
    if (!filename) return 0;
    short matched = 0;
    for (t_opened *x = s_list; x;) {
        // A report may open a patcher whose "opened" objects join the list
        // at its head; they are not among the ones asked.
        t_opened *next = x->next;
        if (x->filter == type || x->filter == kAnyType) {
            opened_report(x, filename, path, type);
            matched = 1;
        }
        x = next;
    }
    return matched;
}

} // extern "C"
