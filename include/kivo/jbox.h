/*
 * Boxes: the record every object that can stand in a patcher box begins
 * with, the class set-up that gives a box class the common box attributes
 * and messages, the box life cycle and the box accessors.
 *
 * A box class is built as: class_new with the class's own record size (its
 * record begins with t_jbox), jbox_initclass(class, flags), the class's own
 * attributes and messages, class_register in the "box" name space. An
 * instance is built as: allocate, jbox_new(box, flags, argc, argv) with the
 * same flag word, the class's own set-up, attr_dictionary_process of the
 * box dictionary, jbox_ready(box). Its free function calls jbox_free(box)
 * before it frees anything of its own.
 *
 * Invariants:
 * - b_patcher is set by jbox_new before anything else reads the box and is
 *   never null afterwards.
 * - b_textfield exists exactly when the class has JBOX_FLAG_TEXTFIELD;
 *   b_text exists exactly when it has JBOX_FLAG_TEXT. Both are owned.
 * - b_hint and b_annotation are null until first set; each setting stores
 *   a new copy (also of an empty text); reading a null one gives "".
 * - b_id is unique within the patcher from jbox_new on.
 *
 * Life: created (jbox_new: linked into the patcher, id fixed, first paint
 * pending) -> ready (jbox_ready: inlets and outlets bound, "newobject"
 * sent) -> painted (first paint clears JBOX_STATE_PAINTPENDING) -> freed
 * (jbox_free: "free" sent while still linked, then unlinked).
 *
 * Main thread only, except the accessors that only read.
 */
#ifndef KIVO_JBOX_H
#define KIVO_JBOX_H

#include "kivo/atombuf.h"
#include "kivo/dictionary.h"
#include "kivo/jpatcher.h"
#include "kivo/object.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

/* The box flag word, given to jbox_initclass (class level) and jbox_new
   (instance level) alike. Bits 3, 10 and 20 have no effect. */
enum {
    JBOX_FLAG_DRAWFIRSTIN = 0x1,        /* new: the first inlet belongs to firstin itself */
    JBOX_FLAG_NOOUTLINE = 0x2,          /* new: no frame */
    JBOX_FLAG_DRAWINLAST = 0x4,         /* new: drawinlast = 1 */
    JBOX_FLAG_NOGROW = 0x10,            /* new: the editing view does not resize the box */
    JBOX_FLAG_GROWY = 0x20,             /* new: resizing keeps proportions */
    JBOX_FLAG_GROWBOTH = 0x40,          /* new: width and height resize independently */
    JBOX_FLAG_IGNORECLICK = 0x80,       /* both: clicks pass through when locked */
    JBOX_FLAG_CANHILITE = 0x100,        /* new: takes keyboard focus */
    JBOX_FLAG_BACKGROUND = 0x200,       /* new: in the background layer */
    JBOX_FLAG_TEXTFIELD = 0x800,        /* both: a "textfield" object; text messages */
    JBOX_FLAG_MOUSEDRAGDELTA = 0x1000,  /* new: relative drags */
    JBOX_FLAG_COLOR = 0x2000,           /* class: the "color" attribute */
    JBOX_FLAG_TEXT = 0x4000,            /* new: an atom buffer holds the box text */
    JBOX_FLAG_DRAWIOLOCKED = 0x8000,    /* new: inlets and outlets drawn when locked */
    JBOX_FLAG_DRAWBACKGROUND = 0x10000, /* new: a background layer under the box */
    JBOX_FLAG_NOINSPECT = 0x20000,      /* new: the inspector shows nothing */
    JBOX_FLAG_FONTATTR = 0x40000,       /* class: the font attributes */
    JBOX_FLAG_FIXWIDTH = 0x80000,       /* class: the "bfixwidth" message */
    JBOX_FLAG_TEXTJUSTIFICATION = 0x200000, /* class: "textjustification" */
    JBOX_FLAG_LEGACYCOLOR = 0x400000,   /* class: the legacy "color" message */
    JBOX_FLAG_BOXVIEW = 0x800000        /* class: the box-view messages */
};

/* Bits of b_boxstate. */
enum {
    JBOX_STATE_READY = 0x1,        /* set by jbox_ready */
    JBOX_STATE_PAINTPENDING = 0x2  /* set by jbox_new, cleared by the first paint */
};

/* Redraw levels of b_redrawlevel. */
enum { JBOX_REDRAW_CONTENTS = 1, JBOX_REDRAW_BOX = 2 };

/* Attribute flag bit of the common box attributes that the class's own
   dictionary processing skips: jbox_new applies them itself. */
#define JBOX_ATTR_FLAG_BOXONLY 0x10000000

typedef struct jbox {
    t_object b_ob;                 /* object header */
    void *b_obex;                  /* extension store; the class's obex offset points here */
    t_object *b_patcher;           /* the containing patcher (borrowed) */
    t_rect b_patching_rect;        /* patching mode, patcher units */
    t_rect b_presentation_rect;    /* all zero while not in the presentation */
    t_symbol *b_varname;           /* scripting name; the empty symbol when none */
    t_symbol *b_id;                /* "obj-N", unique in the patcher */
    /* Receives the first inlet: the held object, or the box itself for a
       user-interface box; null: nothing (borrowed here; the class owns what
       it holds). b_object is its older name. */
    union {
        t_object *b_firstin;
        t_object *b_object;
    };
    t_object *b_textfield;         /* owned "textfield", with JBOX_FLAG_TEXTFIELD */
    t_symbol *b_fontname;
    double b_fontsize;
    char *b_hint;                  /* owned copy, or null */
    t_jrgba b_color;               /* 1 1 1 1 */
    t_atombuf *b_text;             /* owned box text, with JBOX_FLAG_TEXT */
    union {                        /* JBOX_REDRAW_*, 0 none pending */
        unsigned char b_redrawlevel;
        unsigned char b_redraw_pending; /* older name */
    };
    unsigned char b_hidden;        /* hidden when the patcher is locked */
    unsigned char b_canhilite;
    unsigned char b_background;
    unsigned char b_ignoreclick;
    union {                        /* stands in for an object that could not be made */
        unsigned char b_bogus;
        unsigned char b_placeholder; /* older name */
    };
    unsigned char b_drawfirstin;
    unsigned char b_outline;
    unsigned char b_growy;
    unsigned char b_growboth;
    unsigned char b_nogrow;
    unsigned char b_drawinlast;
    unsigned char b_paintoverchildren;
    unsigned char b_mousedragdelta;
    unsigned char b_presentation;
    unsigned char b_drawiolocked;
    unsigned char b_draghilite;
    unsigned char b_drawbackground;
    unsigned char b_hinttrack;
    unsigned char b_fontface;      /* 0 regular, 1 bold, 2 italic, 3 bold italic */
    char *b_annotation;            /* owned copy, or null */
    unsigned char b_opaque;
    unsigned char b_useimagebuffer;
    unsigned char b_noinspect;
    unsigned char b_editactive;
    t_symbol *b_prototypename;     /* the empty symbol when none */
    unsigned char b_isnewobj;      /* the text was parsed as object-box text */
    unsigned char b_boxstate;      /* JBOX_STATE_* */
    unsigned char b_textjustification; /* 0 left, 1 center, 2 right */
    void *b_pending;               /* before the first paint: premeasured text; during a
                                      drop: the receiving view; else null (borrowed) */
    /* The patcher's working word: one bit per open temporary mark level.
       Only the patcher reads or writes it. */
    long b_temp;
} t_jbox;

/* ---- class set-up and life cycle */

/* Gives a box class the common box attributes and messages; 0. */
KIVO_EXPORT t_kivo_err jbox_initclass(t_class *c, long flags);
/* Fills the record from the flag word and the box dictionary and links the
   box into its patcher; 0, or -1 when no patcher can be found (the error
   is posted; the box must then be freed without jbox_free). */
KIVO_EXPORT t_kivo_err jbox_new(t_jbox *b, long flags, long argc, t_atom *argv);
KIVO_EXPORT void jbox_ready(t_jbox *b);
KIVO_EXPORT void jbox_free(t_jbox *b);
/* Old files' attribute defaults; bit 0 of flags forces the mapping. */
KIVO_EXPORT void jbox_processlegacydefaults(t_jbox *b, t_dictionary *d, long flags);
/* True when the attribute holds its default (or its style's value). */
KIVO_EXPORT long jbox_isdefaultattribute(t_object *x, t_symbol *attrname);

/* ---- accessors (all accept null and then answer null, 0 or -1) */
KIVO_EXPORT t_object *jbox_get_patcher(t_object *box);
/* The object inside the box; the box itself when it holds none. */
KIVO_EXPORT t_object *jbox_get_object(t_object *box);
KIVO_EXPORT t_symbol *jbox_get_kivoclass(t_object *box);
KIVO_EXPORT t_symbol *jbox_get_id(t_object *box);
KIVO_EXPORT t_symbol *jbox_get_varname(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_varname(t_object *box, t_symbol *name);
KIVO_EXPORT t_object *jbox_get_textfield(t_object *box);
KIVO_EXPORT char jbox_get_hidden(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_hidden(t_object *box, char c);
KIVO_EXPORT t_symbol *jbox_get_fontname(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_fontname(t_object *box, t_symbol *name);
KIVO_EXPORT double jbox_get_fontsize(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_fontsize(t_object *box, double size);
KIVO_EXPORT t_kivo_err jbox_get_color(t_object *box, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err jbox_set_color(t_object *box, t_jrgba *prgba);
/* Never null: "" when none is stored. */
KIVO_EXPORT const char *jbox_get_hintstring(t_object *box);
KIVO_EXPORT void jbox_set_hintstring(t_object *box, const char *s);
KIVO_EXPORT const char *jbox_get_annotation(t_object *box);
KIVO_EXPORT void jbox_set_annotation(t_object *box, const char *s);
KIVO_EXPORT char jbox_get_hinttrack(t_object *box);
KIVO_EXPORT void jbox_set_hinttrack(t_object *box, char h);
KIVO_EXPORT t_object *jbox_get_nextobject(t_object *box);
KIVO_EXPORT t_object *jbox_get_prevobject(t_object *box);
KIVO_EXPORT char jbox_get_canhilite(t_object *box);
KIVO_EXPORT char jbox_get_background(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_background(t_object *box, char d);
KIVO_EXPORT char jbox_get_ignoreclick(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_ignoreclick(t_object *box, char d);
KIVO_EXPORT char jbox_get_drawfirstin(t_object *box);
KIVO_EXPORT char jbox_get_outline(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_outline(t_object *box, char c);
KIVO_EXPORT char jbox_get_growy(t_object *box);
KIVO_EXPORT char jbox_get_growboth(t_object *box);
KIVO_EXPORT char jbox_get_nogrow(t_object *box);
KIVO_EXPORT char jbox_get_drawinlast(t_object *box);
KIVO_EXPORT char jbox_get_mousedragdelta(t_object *box);
KIVO_EXPORT t_kivo_err jbox_set_mousedragdelta(t_object *box, char c);
KIVO_EXPORT char jbox_get_presentation(t_object *box);
KIVO_EXPORT void jbox_set_prototypename(t_object *box, t_symbol *name);

/* Rectangles by attribute: presentation form first, then, only when that
   succeeded, the patching form. */
KIVO_EXPORT t_kivo_err jbox_set_rect(t_object *box, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_set_position(t_object *box, t_pt *pos);
KIVO_EXPORT t_kivo_err jbox_set_size(t_object *box, t_size *size);
KIVO_EXPORT t_kivo_err jbox_get_patching_rect(t_object *box, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_set_patching_rect(t_object *box, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_get_presentation_rect(t_object *box, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_set_presentation_rect(t_object *box, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_get_patching_position(t_object *box, t_pt *pos);
KIVO_EXPORT t_kivo_err jbox_set_patching_position(t_object *box, t_pt *pos);
KIVO_EXPORT t_kivo_err jbox_get_presentation_position(t_object *box, t_pt *pos);
KIVO_EXPORT t_kivo_err jbox_set_presentation_position(t_object *box, t_pt *pos);
KIVO_EXPORT t_kivo_err jbox_get_patching_size(t_object *box, t_size *size);
KIVO_EXPORT t_kivo_err jbox_set_patching_size(t_object *box, t_size *size);
KIVO_EXPORT t_kivo_err jbox_get_presentation_size(t_object *box, t_size *size);
KIVO_EXPORT t_kivo_err jbox_set_presentation_size(t_object *box, t_size *size);
KIVO_EXPORT t_kivo_err jbox_get_rect_for_sym(t_object *box, t_symbol *which, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_set_rect_for_sym(t_object *box, t_symbol *which, t_rect *pr);
/* "presentation_rect" when the view shows presentation mode, else
   "patching_rect"; a null view reads "patching_rect" (a write needs one). */
KIVO_EXPORT t_kivo_err jbox_get_rect_for_view(t_object *box, t_object *view, t_rect *pr);
KIVO_EXPORT t_kivo_err jbox_set_rect_for_view(t_object *box, t_object *view, t_rect *pr);
/* Whether the box answers "understands" with a non-zero long. */
KIVO_EXPORT long jbox_get_understanding(t_object *box, t_symbol *msg);
/* What the box's "autocompletion" gives; null while the switch below is
   off (it starts on) or the box has no such method. */
KIVO_EXPORT t_object *jbox_get_autocompletion(t_object *box);
KIVO_EXPORT extern long g_kivo_autocompletion;
/* The clipboard's data types (a "clipboard" object asked "datatypes"). */
KIVO_EXPORT long jclipboard_datatypes(void);

/* ---- geometry, inlets and outlets, redraw (box_geometry.cpp, box_io.cpp) */
KIVO_EXPORT void jbox_validaterects(t_jbox *b);
KIVO_EXPORT void jbox_redraw(t_jbox *b);
KIVO_EXPORT void jbox_redrawcontents(t_jbox *b);
KIVO_EXPORT void *jbox_getinlet(t_jbox *b, long n);
KIVO_EXPORT void *jbox_getoutlet(t_jbox *b, long n);
KIVO_EXPORT void jbox_grabfocus(t_jbox *b);
KIVO_EXPORT void jbox_show_caption(t_jbox *b);
KIVO_EXPORT void jbox_hide_caption(t_jbox *b);

/* ---- text (box_text.cpp): fills the text field from the box text */
KIVO_EXPORT void jbox_updatetextfield(t_jbox *b);
KIVO_EXPORT void jbox_updatetextfield_lockmutex(t_jbox *b, t_systhread_mutex mutex);
/* With lock 1 inside the timer critical region of the box's scheduler. */
KIVO_EXPORT void jbox_updatetextfield_safe(t_jbox *b, long lock);

/* ---- attributes from a dictionary: sets every attribute the dictionary
   names, except those marked JBOX_ATTR_FLAG_BOXONLY */
KIVO_EXPORT void attr_dictionary_process(void *x, t_dictionary *d);

KIVO_END_C

#endif
