/*
 * The XML tree: node records, their classes, attributes and messages, and
 * the operations on children, values, attributes and character data.
 *
 * Invariants of every node x with a child list, kept by each operation on
 * it inside the global critical region:
 *   - firstchild and lastchild are the first and last items of childnodes;
 *   - each child's previoussibling and nextsibling are its neighbours in
 *     the list (null at the ends), its parentnode is x, and its
 *     ownerdocument is x's owner document, or x itself when x has none;
 *   - a node is in at most one child list, and never below itself:
 *     attaching a node that has a parent first takes it out of there, and
 *     attaching a node below itself is refused.
 * Freeing a node frees its subtree without recursion: children that go
 * while a subtree is being freed wait in the freeing thread's pending
 * list, so a deep tree costs heap, not stack.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/linklist.h"
#include "kivo/obex.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "kivo/xmltree.h"
#include "runtime/xmltree_internal.h"

using kivo::obex::as_method;

namespace {

t_class *s_document_class = nullptr;
t_class *s_element_class = nullptr;
t_class *s_attribute_class = nullptr;
t_class *s_text_class = nullptr;
t_class *s_comment_class = nullptr;
t_class *s_cdata_class = nullptr;
kivo::xml::Kinds s_kinds{};

t_symbol *empty() { return gensym(""); }

// The global critical region around child-list changes.
struct Critical {
    Critical() { critical_enter(nullptr); }
    ~Critical() { critical_exit(nullptr); }
    Critical(const Critical &) = delete;
    Critical &operator=(const Critical &) = delete;
};

void ensure_classes() {
    if (!s_document_class) xmltree_init();
}

template <typename T>
T *alloc_node(t_class *c) {
    ensure_classes();
    if (!c) return nullptr;
    return static_cast<T *>(object_alloc(c));
}

char *copy_text(const char *s, size_t n) {
    char *p = sysmem_newptr(static_cast<t_ptr_size>(n + 1));
    if (!p) return nullptr;
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

// ---- links

t_linklist *ensure_children(t_xmltree_node *x) {
    if (!x->childnodes) x->childnodes = linklist_new();
    return x->childnodes;
}

// True when node is x or one of x's ancestors. Only a node with children
// can be an ancestor, which keeps appending fresh nodes (parsing) cheap
// however deep the tree.
bool is_self_or_ancestor(t_xmltree_node *node, t_xmltree_node *x) {
    if (node == x) return true;
    if (!node->firstchild) return false;
    for (t_xmltree_node *p = x; p; p = p->parentnode)
        if (p == node) return true;
    return false;
}

bool is_child(t_xmltree_node *x, t_xmltree_node *child) {
    return x && child && x->childnodes && child->parentnode == x &&
           linklist_objptr2index(x->childnodes, child) >= 0;
}

// Takes child out of its parent's list without freeing it, linking its
// neighbours to each other.
void detach(t_xmltree_node *child) {
    t_xmltree_node *parent = child->parentnode;
    if (!parent) return;
    if (parent->childnodes) linklist_chuckobject(parent->childnodes, child);
    t_xmltree_node *prev = child->previoussibling, *next = child->nextsibling;
    if (prev) prev->nextsibling = next;
    if (next) next->previoussibling = prev;
    if (parent->firstchild == child) parent->firstchild = next;
    if (parent->lastchild == child) parent->lastchild = prev;
    child->parentnode = nullptr;
    child->previoussibling = child->nextsibling = nullptr;
}

void adopt(t_xmltree_node *x, t_xmltree_node *child) {
    child->parentnode = x;
    child->ownerdocument = x->ownerdocument ? x->ownerdocument : x;
}

// Rebuilds every link of x's children from the list order.
void relink_all(t_xmltree_node *x) {
    t_xmltree_node *prev = nullptr;
    x->firstchild = x->lastchild = nullptr;
    if (!x->childnodes) return;
    for (t_linklistelem *e = x->childnodes->head; e; e = e->next) {
        auto *c = static_cast<t_xmltree_node *>(e->item);
        if (!c) continue;
        adopt(x, c);
        c->previoussibling = prev;
        c->nextsibling = nullptr;
        if (prev) prev->nextsibling = c;
        else x->firstchild = c;
        prev = c;
    }
    x->lastchild = prev;
}

// Links child, just inserted into x's list, to its neighbours.
void link_inserted(t_xmltree_node *x, t_xmltree_node *child) {
    adopt(x, child);
    t_linklistelem *e = linklist_objptr2nodeptr(x->childnodes, child);
    t_xmltree_node *prev = nullptr, *next = nullptr;
    if (e) {
        for (t_linklistelem *p = e->prev; p && !prev; p = p->prev) prev = static_cast<t_xmltree_node *>(p->item);
        for (t_linklistelem *n = e->next; n && !next; n = n->next) next = static_cast<t_xmltree_node *>(n->item);
    }
    child->previoussibling = prev;
    child->nextsibling = next;
    if (prev) prev->nextsibling = child;
    else x->firstchild = child;
    if (next) next->previoussibling = child;
    else x->lastchild = child;
}

// ---- freeing subtrees without recursion

thread_local std::vector<t_xmltree_node *> *t_pending = nullptr;

void free_children(t_xmltree_node *x) {
    t_linklist *list = x->childnodes;
    x->childnodes = nullptr;
    x->firstchild = x->lastchild = nullptr;
    if (!list) return;
    std::vector<t_xmltree_node *> mine;
    std::vector<t_xmltree_node *> &out = t_pending ? *t_pending : mine;
    for (t_linklistelem *e = list->head; e; e = e->next) {
        auto *c = static_cast<t_xmltree_node *>(e->item);
        if (!c) continue;
        // The child no longer belongs anywhere: its own free must not try
        // to take it out of this list.
        c->parentnode = nullptr;
        c->previoussibling = c->nextsibling = nullptr;
        out.push_back(c);
    }
    linklist_chuck(list);
    if (t_pending) return;
    t_pending = &mine;
    while (!mine.empty()) {
        t_xmltree_node *c = mine.back();
        mine.pop_back();
        object_free(c);
    }
    t_pending = nullptr;
}

void clear_value(t_xmltree_node *x) {
    if (x->v_atoms) sysmem_freeptr(x->v_atoms);
    if (x->v_text) sysmem_freeptr(x->v_text);
    x->v_atoms = nullptr;
    x->v_atomcount = 0;
    x->v_text = nullptr;
    x->v_kind = XMLTREE_VALUE_NONE;
}

// ---- value text

void append_float(std::string &out, double f) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%f", f);
    std::string s(buf);
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') s.pop_back();
    }
    out += s;
}

std::string atoms_text(long ac, const t_atom *av) {
    std::string out;
    char buf[64];
    for (long i = 0; i < ac; i++) {
        const t_atom &a = av[i];
        switch (a.type) {
        case AT_LONG:
            std::snprintf(buf, sizeof buf, "%lld ", static_cast<long long>(a.value.w_long));
            out += buf;
            break;
        case AT_FLOAT:
            append_float(out, a.value.w_float);
            out += ' ';
            break;
        case AT_SYM:
            out += a.value.w_sym ? a.value.w_sym->name : "";
            out += ' ';
            break;
        case AT_OBJ: {
            t_object *o = a.value.w_obj;
            // A pointer that holds no live object cannot be asked its class.
            const bool valid = o && o->magic == KIVO_OBJECT_MAGIC && o->messlist;
            out += valid ? object_classname(o)->name : "pointer";
            out += ' ';
            break;
        }
        case AT_DOLLAR:
            std::snprintf(buf, sizeof buf, "$%lld ", static_cast<long long>(a.value.w_long));
            out += buf;
            break;
        case AT_DOLLSYM:
            out += '$';
            out += a.value.w_sym ? a.value.w_sym->name : "";
            break;
        case AT_COMMA:
            if (!out.empty() && out.back() == ' ') out.pop_back();
            out += ", ";
            break;
        default:
            break;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// ---- element attributes

t_xmltree_attribute *find_attribute(t_xmltree_element *x, t_symbol *name) {
    if (!x || !x->node.attributes) return nullptr;
    void *found = nullptr;
    linklist_findfirst(x->node.attributes, &found,
                       reinterpret_cast<t_linklist_fn>(&xmltree_attr_symcompare), name);
    return static_cast<t_xmltree_attribute *>(found);
}

// The node's value as a new block of atoms (null for none).
long value_atoms(t_xmltree_node *x, t_atom **av) {
    long ac = 0;
    *av = nullptr;
    if (x) xmltree_node_getnodevalue(x, nullptr, &ac, av);
    if (ac <= 0) {
        if (*av) sysmem_freeptr(*av);
        *av = nullptr;
        ac = 0;
    }
    return ac;
}

template <typename T, typename Get>
long fill_array(t_xmltree_node *x, long count, T *vals, Get get) {
    t_atom *av = nullptr;
    const long ac = value_atoms(x, &av);
    if (vals)
        for (long i = 0; i < ac && i < count; i++) vals[i] = get(&av[i]);
    if (av) sysmem_freeptr(av);
    return ac;
}

template <typename T, typename Set>
long store_array(t_xmltree_node *x, long count, const T *vals, Set set) {
    if (!x || !vals) return -1;
    if (count < 0) count = 0;
    std::vector<t_atom> atoms(static_cast<size_t>(count));
    for (long i = 0; i < count; i++) set(&atoms[static_cast<size_t>(i)], vals[i]);
    return xmltree_node_nodevalue(x, nullptr, count, atoms.data());
}

// The first value atom, or null without one.
template <typename R, typename Get>
R first_value(t_xmltree_node *x, R none, Get get) {
    t_atom *av = nullptr;
    const long ac = value_atoms(x, &av);
    R r = ac > 0 ? get(&av[0]) : none;
    if (av) sysmem_freeptr(av);
    return r;
}

// ---- the "filename" attribute of documents: none given stores the empty
// symbol.
t_kivo_err document_filename_set(t_xmltree_document *x, void *, long ac, t_atom *av) {
    x->filename = ac > 0 && av && av[0].type == AT_SYM ? atom_getsym(av) : empty();
    return KIVO_ERR_NONE;
}

// The setter of the attributes that only the tree operations change.
t_kivo_err refuse_set(t_object *, void *, long, t_atom *) { return KIVO_ERR_GENERIC; }

void add_offset_attr(t_class *c, const char *name, t_symbol *type, long flags, size_t offset,
                     method get = nullptr, method set = nullptr) {
    if (t_object *a = attr_offset_new(name, type, flags, get, set, static_cast<long>(offset)))
        class_addattr(c, a);
}

void add_document_interface(t_class *c) {
    kivo::obex::class_addmethods_cant(c, {
        {as_method(xmltree_document_read_frombuffer), "readbuffer"},
        {as_method(xmltree_document_createelement), "createelement"},
        {as_method(xmltree_document_createtextnode), "createtextnode"},
        {as_method(xmltree_document_createcomment), "createcomment"},
        {as_method(xmltree_document_createcdatasection), "createcdatasection"},
        {as_method(xmltree_document_createattribute), "createattribute"},
        {as_method(xmltree_document_createheader), "createheader"},
        {as_method(xmltree_document_createprocessinginstruction), "createprocessinginstruction"},
        {as_method(xmltree_document_getelementsbytagname), "getelementsbytagname"},
    });
    class_addmethod(c, as_method(xmltree_document_read), "read", AT_GIMME, 0);
    class_addmethod(c, as_method(xmltree_document_write), "write", AT_GIMME, 0);
    class_addmethod(c, as_method(xmltree_document_print), "print", 0);
    add_offset_attr(c, "filename", _sym(symbol), 0, offsetof(t_xmltree_document, filename),
                    nullptr, as_method(document_filename_set));
}

void add_element_interface(t_class *c) {
    kivo::obex::class_addmethods_cant(c, {
        {as_method(xmltree_element_getattribute), "getattribute"},
        {as_method(xmltree_element_setattribute), "setattribute"},
        {as_method(xmltree_element_removeattribute), "removeattribute"},
        {as_method(xmltree_element_getattributenode), "getattributenode"},
        {as_method(xmltree_element_setattributenode), "setattributenode"},
        {as_method(xmltree_element_removeattributenode), "removeattributenode"},
        {as_method(xmltree_element_getelementsbytagname), "getelementsbytagname"},
    });
    add_offset_attr(c, "tagname", _sym(symbol), 0, offsetof(t_xmltree_node, nodename));
}

t_class *make_class(const char *name, method mnew, method mfree, size_t size) {
    return class_new(name, mnew, mfree, static_cast<long>(size), nullptr, 0);
}

} // namespace

namespace kivo::xml {

std::string value_text(t_xmltree_node *x) {
    if (!x) return {};
    switch (x->v_kind) {
    case XMLTREE_VALUE_TEXT:
        return x->v_text ? x->v_text : "";
    case XMLTREE_VALUE_ATOMS:
        return atoms_text(x->v_atomcount, x->v_atoms);
    default:
        return {};
    }
}

const Kinds &kinds() {
    ensure_classes();
    return s_kinds;
}

bool is_header_encoding(t_symbol *encoding) {
    return encoding == gensym("utf-8") || encoding == gensym("utf-16") ||
           encoding == gensym("iso-8859-1") || encoding == gensym("us-ascii");
}

} // namespace kivo::xml

extern "C" {

// ---- classes

void xmltree_init(void) {
    if (s_document_class) return;
    s_kinds = {gensym("document"), gensym("element"), gensym("attribute"),
               gensym("text"),     gensym("comment"), gensym("cdata")};

    t_class *element = make_class("xmltree_element", as_method(xmltree_element_new),
                                  as_method(xmltree_element_free), sizeof(t_xmltree_element));
    t_class *attribute = make_class("xmltree_attribute", as_method(xmltree_attribute_new),
                                    as_method(xmltree_attribute_free), sizeof(t_xmltree_attribute));
    t_class *text = make_class("xmltree_text", as_method(xmltree_text_new),
                               as_method(xmltree_text_free), sizeof(t_xmltree_text));
    t_class *comment = make_class("xmltree_comment", as_method(xmltree_comment_new),
                                  as_method(xmltree_comment_free), sizeof(t_xmltree_comment));
    t_class *cdata = make_class("xmltree_cdata", as_method(xmltree_cdata_new),
                                as_method(xmltree_cdata_free), sizeof(t_xmltree_cdata));
    t_class *document = make_class("xmltree_document", as_method(xmltree_document_new),
                                   as_method(xmltree_document_free), sizeof(t_xmltree_document));
    if (!element || !attribute || !text || !comment || !cdata || !document) return;

    xmltree_node_addinterface(element);
    add_element_interface(element);

    xmltree_node_addinterface(attribute);
    add_offset_attr(attribute, "name", _sym(symbol), 0, offsetof(t_xmltree_node, nodename));
    add_offset_attr(attribute, "specified", _sym(long), 0, offsetof(t_xmltree_attribute, specified));

    xmltree_charnode_addinterface(text);
    class_addmethod(text, as_method(xmltree_text_splittext), "splittext", AT_CANT, 0);
    xmltree_charnode_addinterface(comment);
    xmltree_charnode_addinterface(cdata);
    class_addmethod(cdata, as_method(xmltree_cdata_splittext), "splittext", AT_CANT, 0);

    xmltree_node_addinterface(document);
    add_document_interface(document);

    for (t_class *c : {element, attribute, text, comment, cdata, document}) class_register(_sym(nobox), c);
    s_element_class = element;
    s_attribute_class = attribute;
    s_text_class = text;
    s_comment_class = comment;
    s_cdata_class = cdata;
    s_document_class = document;
}

void xmltree_node_addinterface(t_class *c) {
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(xmltree_node_insertbefore), "insertbefore"},
        {as_method(xmltree_node_replacechild), "replacechild"},
        {as_method(xmltree_node_removechild), "removechild"},
        {as_method(xmltree_node_appendchild), "appendchild"},
        {as_method(xmltree_node_haschildnodes), "haschildnodes"},
        {as_method(xmltree_node_clonenode), "clonenode"},
        {as_method(xmltree_node_removeallchildren), "removeallchildren"},
        {as_method(xmltree_node_setnodevalasstring), "setnodevalueasstring"},
        {as_method(xmltree_node_getnodevalasstring), "getnodevalueasstring"},
        {as_method(xmltree_node_nodevalue), "setnodevalueasatoms"},
        {as_method(xmltree_node_getnodevalue), "getnodevalueasatoms"},
        {as_method(xmltree_node_sortchildlist), "sortchildnodes"},
    });
    add_offset_attr(c, "nodevalue", _sym(atom), 0, 0, as_method(xmltree_node_getnodevalue),
                    as_method(xmltree_node_nodevalue));
    add_offset_attr(c, "nodename", _sym(symbol), 0, offsetof(t_xmltree_node, nodename));
    add_offset_attr(c, "nodetype", _sym(symbol), 0, offsetof(t_xmltree_node, nodetype));
    // The links are kept by the tree operations; storing into them from
    // outside would break the tree's invariants, so they are read-only.
    const struct {
        const char *name;
        size_t offset;
    } links[] = {
        {"parentnode", offsetof(t_xmltree_node, parentnode)},
        {"childnodes", offsetof(t_xmltree_node, childnodes)},
        {"firstchild", offsetof(t_xmltree_node, firstchild)},
        {"lastchild", offsetof(t_xmltree_node, lastchild)},
        {"previoussibling", offsetof(t_xmltree_node, previoussibling)},
        {"nextsibling", offsetof(t_xmltree_node, nextsibling)},
        {"attributes", offsetof(t_xmltree_node, attributes)},
        {"ownerdocument", offsetof(t_xmltree_node, ownerdocument)},
    };
    for (const auto &l : links)
        add_offset_attr(c, l.name, _sym(object), ATTR_FLAG_NOSET, l.offset, nullptr, as_method(refuse_set));
}

void xmltree_charnode_addinterface(t_class *c) {
    if (!c) return;
    xmltree_node_addinterface(c);
    kivo::obex::class_addmethods_cant(c, {
        {as_method(xmltree_charnode_substringdata), "substringdata"},
        {as_method(xmltree_charnode_appenddata), "appenddata"},
        {as_method(xmltree_charnode_insertdata), "insertdata"},
        {as_method(xmltree_charnode_deletedata), "deletedata"},
        {as_method(xmltree_charnode_replacedata), "replacedata"},
    });
    // The length follows the data; it is read-only like the links.
    add_offset_attr(c, "length", _sym(long), ATTR_FLAG_NOSET, offsetof(t_xmltree_charnode, length),
                    nullptr, as_method(refuse_set));
}

// ---- records

void xmltree_node_new(t_xmltree_node *x, t_symbol *nodetype) {
    if (!x) return;
    x->nodename = empty();
    x->v_atoms = nullptr;
    x->v_atomcount = 0;
    x->v_text = nullptr;
    x->nodetype = nodetype ? nodetype : empty();
    x->parentnode = nullptr;
    x->childnodes = nullptr;
    x->firstchild = x->lastchild = nullptr;
    x->previoussibling = x->nextsibling = nullptr;
    x->attributes = nullptr;
    x->ownerdocument = nullptr;
    x->v_kind = XMLTREE_VALUE_NONE;
}

void xmltree_charnode_new(t_xmltree_charnode *x, t_symbol *nodetype) {
    if (!x) return;
    xmltree_node_new(&x->node, nodetype);
    x->node.nodename = x->node.nodetype;
    x->length = 0;
    x->data = nullptr;
}

void xmltree_node_free(t_xmltree_node *x) {
    if (!x) return;
    // A node freed on its own while still attached leaves its parent first,
    // so that the parent's list never holds a freed node.
    if (x->parentnode) {
        Critical region;
        detach(x);
    }
    free_children(x);
    if (x->attributes) {
        object_free(x->attributes);
        x->attributes = nullptr;
    }
    clear_value(x);
}

void xmltree_charnode_free(t_xmltree_charnode *x) {
    if (!x) return;
    xmltree_node_free(&x->node);
    if (x->data) sysmem_freeptr(x->data);
    x->data = nullptr;
    x->length = 0;
}

t_xmltree_element *xmltree_element_new(void) {
    ensure_classes();
    auto *x = alloc_node<t_xmltree_element>(s_element_class);
    if (x) xmltree_node_new(&x->node, s_kinds.element);
    return x;
}
void xmltree_element_free(t_xmltree_element *x) { if (x) xmltree_node_free(&x->node); }

t_xmltree_attribute *xmltree_attribute_new(void) {
    ensure_classes();
    auto *x = alloc_node<t_xmltree_attribute>(s_attribute_class);
    if (!x) return nullptr;
    xmltree_node_new(&x->node, s_kinds.attribute);
    x->specified = 0;
    return x;
}
void xmltree_attribute_free(t_xmltree_attribute *x) { if (x) xmltree_node_free(&x->node); }

t_xmltree_text *xmltree_text_new(void) {
    ensure_classes();
    auto *x = alloc_node<t_xmltree_text>(s_text_class);
    if (x) xmltree_charnode_new(x, s_kinds.text);
    return x;
}
void xmltree_text_free(t_xmltree_text *x) { xmltree_charnode_free(x); }

t_xmltree_comment *xmltree_comment_new(void) {
    ensure_classes();
    auto *x = alloc_node<t_xmltree_comment>(s_comment_class);
    if (x) xmltree_charnode_new(x, s_kinds.comment);
    return x;
}
void xmltree_comment_free(t_xmltree_comment *x) { xmltree_charnode_free(x); }

t_xmltree_cdata *xmltree_cdata_new(void) {
    ensure_classes();
    auto *x = alloc_node<t_xmltree_cdata>(s_cdata_class);
    if (x) xmltree_charnode_new(x, s_kinds.cdata);
    return x;
}
void xmltree_cdata_free(t_xmltree_cdata *x) { xmltree_charnode_free(x); }

t_xmltree_document *xmltree_document_new(void) {
    ensure_classes();
    auto *x = alloc_node<t_xmltree_document>(s_document_class);
    if (!x) return nullptr;
    xmltree_node_new(&x->node, s_kinds.document);
    x->filename = empty();
    x->path = 0;
    x->currentnode = nullptr;
    x->depth = 0;
    x->header = 0;
    x->encoding = gensym("utf-8");
    x->pi = 0;
    x->pi_target = empty();
    x->pi_data = empty();
    x->converter = nullptr;
    return x;
}

void xmltree_document_free(t_xmltree_document *x) {
    if (!x) return;
    xmltree_node_free(&x->node);
    if (x->converter) object_free(x->converter);
    x->converter = nullptr;
}

// ---- children

long xmltree_node_appendchild(t_xmltree_node *x, t_xmltree_node *newchild) {
    if (!x || !newchild) return -1;
    Critical region;
    if (is_self_or_ancestor(newchild, x)) return -1;
    detach(newchild);
    if (!ensure_children(x)) return -1;
    t_xmltree_node *prev = x->lastchild;
    if (linklist_append(x->childnodes, newchild) < 0) return -1;
    adopt(x, newchild);
    newchild->previoussibling = prev;
    newchild->nextsibling = nullptr;
    if (prev) prev->nextsibling = newchild;
    else x->firstchild = newchild;
    x->lastchild = newchild;
    return 0;
}

long xmltree_node_insertbefore(t_xmltree_node *x, t_xmltree_node *newchild, t_xmltree_node *refchild) {
    if (!x || !newchild) return -1;
    if (newchild == refchild) return 0;
    Critical region;
    if (is_self_or_ancestor(newchild, x)) return -1;
    detach(newchild);
    if (!ensure_children(x)) return -1;
    t_atom_long index = refchild ? linklist_objptr2index(x->childnodes, refchild) : 0;
    if (index < 0) index = 0;
    if (linklist_insertindex(x->childnodes, newchild, index) < 0) return -1;
    link_inserted(x, newchild);
    return 0;
}

long xmltree_node_replacechild(t_xmltree_node *x, t_xmltree_node *newchild, t_xmltree_node *oldchild) {
    if (!x || !x->childnodes || !oldchild || !newchild) return -1;
    {
        Critical region;
        if (!is_child(x, oldchild)) return -1;
        if (newchild == oldchild) return 0;
        if (is_self_or_ancestor(newchild, x)) return -1;
        detach(newchild);
        const t_atom_long index = linklist_objptr2index(x->childnodes, oldchild);
        detach(oldchild);
        if (linklist_insertindex(x->childnodes, newchild, index) < 0) {
            // Nothing is lost: the old child goes back where it was.
            linklist_insertindex(x->childnodes, oldchild, index);
            link_inserted(x, oldchild);
            return -1;
        }
        link_inserted(x, newchild);
    }
    object_free(oldchild);
    return 0;
}

long xmltree_node_removechild(t_xmltree_node *x, t_xmltree_node *child) {
    if (!x || !x->childnodes || !child) return -1;
    {
        Critical region;
        if (!is_child(x, child)) return -1;
        detach(child);
    }
    object_free(child);
    return 0;
}

long xmltree_node_haschildnodes(t_xmltree_node *x) {
    return x && x->childnodes && x->firstchild ? 1 : 0;
}

long xmltree_node_clonenode(t_xmltree_node *) { return 0; }

long xmltree_node_removeallchildren(t_xmltree_node *x) {
    if (!x) return 0;
    Critical region;
    free_children(x);
    return 0;
}

long xmltree_node_sortchildlist(t_xmltree_node *x, t_xmltree_cmpfn cmp) {
    if (!x || !x->childnodes || !cmp) return -1;
    Critical region;
    linklist_sort(x->childnodes, cmp);
    relink_all(x);
    return 0;
}

// ---- values

long xmltree_node_nodevalue(t_xmltree_node *x, void *, long ac, t_atom *av) {
    if (!x) return -1;
    // Copied before the old value goes: the atoms may be the node's own.
    t_atom *copy = nullptr;
    if (ac > 0 && av) {
        copy = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(ac) * sizeof(t_atom)));
        if (!copy) return -1;
        std::memcpy(copy, av, static_cast<size_t>(ac) * sizeof(t_atom));
    }
    clear_value(x);
    if (copy) {
        x->v_atoms = copy;
        x->v_atomcount = ac;
        x->v_kind = XMLTREE_VALUE_ATOMS;
    }
    return 0;
}

long xmltree_node_getnodevalue(t_xmltree_node *x, void *, long *ac, t_atom **av) {
    if (!x || !ac || !av) return -1;
    const bool caller = *ac > 0 && *av;
    switch (x->v_kind) {
    case XMLTREE_VALUE_ATOMS: {
        const long n = x->v_atomcount;
        if (caller) {
            const long m = std::min(*ac, n);
            std::memcpy(*av, x->v_atoms, static_cast<size_t>(m) * sizeof(t_atom));
            *ac = m;
        } else if (n <= 0) {
            *ac = 0;
            *av = nullptr;
        } else {
            auto *copy = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom)));
            if (!copy) {
                *ac = 0;
                *av = nullptr;
                return -1;
            }
            std::memcpy(copy, x->v_atoms, static_cast<size_t>(n) * sizeof(t_atom));
            *ac = n;
            *av = copy;
        }
        break;
    }
    case XMLTREE_VALUE_TEXT:
        if (!caller) {
            *ac = 0;
            *av = nullptr;
        }
        atom_setparse(ac, av, x->v_text ? x->v_text : "");
        if (!caller && *ac == 0) *av = nullptr;
        break;
    default:
        break;
    }
    return 0;
}

long xmltree_node_setnodevalasstring(t_xmltree_node *x, const char *text) {
    if (!x) return -1;
    char *copy = text ? copy_text(text, std::strlen(text)) : nullptr;
    if (text && !copy) return -1;
    clear_value(x);
    if (!copy) return 0;
    x->v_text = copy;
    x->v_kind = XMLTREE_VALUE_TEXT;
    return 0;
}

long xmltree_node_getnodevalasstring(t_xmltree_node *x, long *size, char **text) {
    if (!x || !size || !text) return -1;
    const std::string s = kivo::xml::value_text(x);
    if (*size > 0 && *text) {
        const size_t n = std::min(s.size(), static_cast<size_t>(*size - 1));
        std::memcpy(*text, s.data(), n);
        (*text)[n] = '\0';
        *size = static_cast<long>(n + 1);
    } else {
        char *copy = copy_text(s.data(), s.size());
        if (!copy) return -1;
        *text = copy;
        *size = static_cast<long>(s.size() + 1);
    }
    return 0;
}

t_symbol *xmltree_node_getnodevalue_sym(t_xmltree_node *x) {
    return first_value<t_symbol *>(x, empty(), [](const t_atom *a) { return atom_getsym(a); });
}
t_atom_long xmltree_node_getnodevalue_long(t_xmltree_node *x) {
    return first_value<t_atom_long>(x, 0, [](const t_atom *a) { return atom_getlong(a); });
}
float xmltree_node_getnodevalue_float(t_xmltree_node *x) {
    return first_value<float>(x, 0.0f, [](const t_atom *a) { return static_cast<float>(atom_getfloat(a)); });
}

long xmltree_node_nodevalue_sym(t_xmltree_node *x, t_symbol *value) {
    if (!x) return -1;
    t_atom a;
    atom_setsym(&a, value ? value : empty());
    return xmltree_node_nodevalue(x, nullptr, 1, &a);
}
long xmltree_node_nodevalue_long(t_xmltree_node *x, t_atom_long value) {
    if (!x) return -1;
    t_atom a;
    atom_setlong(&a, value);
    return xmltree_node_nodevalue(x, nullptr, 1, &a);
}
long xmltree_node_nodevalue_float(t_xmltree_node *x, float value) {
    if (!x) return -1;
    t_atom a;
    atom_setfloat(&a, value);
    return xmltree_node_nodevalue(x, nullptr, 1, &a);
}

long xmltree_node_getnodevalue_sym_array(t_xmltree_node *x, long count, t_symbol **vals) {
    return fill_array(x, count, vals, [](const t_atom *a) { return atom_getsym(a); });
}
long xmltree_node_getnodevalue_long_array(t_xmltree_node *x, long count, t_atom_long *vals) {
    return fill_array(x, count, vals, [](const t_atom *a) { return atom_getlong(a); });
}
long xmltree_node_getnodevalue_float_array(t_xmltree_node *x, long count, float *vals) {
    return fill_array(x, count, vals, [](const t_atom *a) { return static_cast<float>(atom_getfloat(a)); });
}
long xmltree_node_nodevalue_sym_array(t_xmltree_node *x, long count, t_symbol **vals) {
    return store_array(x, count, vals, [](t_atom *a, t_symbol *v) { atom_setsym(a, v ? v : empty()); });
}
long xmltree_node_nodevalue_long_array(t_xmltree_node *x, long count, t_atom_long *vals) {
    return store_array(x, count, vals, [](t_atom *a, t_atom_long v) { atom_setlong(a, v); });
}
long xmltree_node_nodevalue_float_array(t_xmltree_node *x, long count, float *vals) {
    return store_array(x, count, vals, [](t_atom *a, float v) { atom_setfloat(a, v); });
}

// ---- character data

static void set_data(t_xmltree_charnode *x, std::string s) {
    char *copy = copy_text(s.data(), s.size());
    if (!copy) return;
    if (x->data) sysmem_freeptr(x->data);
    x->data = copy;
    x->length = static_cast<long>(s.size());
}

static std::string data_of(t_xmltree_charnode *x) {
    return x->data ? std::string(x->data, static_cast<size_t>(std::max(0L, x->length))) : std::string();
}

static long clamp_offset(t_xmltree_charnode *x, long offset) {
    const long n = x->data ? x->length : 0;
    return std::clamp(offset, 0L, std::max(0L, n));
}

char *xmltree_charnode_substringdata(t_xmltree_charnode *x, long offset, long count) {
    if (!x || !x->data || x->length <= 0) return nullptr;
    offset = clamp_offset(x, offset);
    if (count <= 0) return copy_text("", 0);
    const long n = std::min(count, x->length - offset);
    return copy_text(x->data + offset, static_cast<size_t>(n));
}

long xmltree_charnode_appenddata(t_xmltree_charnode *x, const char *text) {
    if (!x) return 0;
    set_data(x, data_of(x) + (text ? text : ""));
    return 0;
}

long xmltree_charnode_insertdata(t_xmltree_charnode *x, long offset, const char *text) {
    if (!x) return 0;
    std::string s = data_of(x);
    s.insert(static_cast<size_t>(clamp_offset(x, offset)), text ? text : "");
    set_data(x, std::move(s));
    return 0;
}

long xmltree_charnode_deletedata(t_xmltree_charnode *x, long offset, long count) {
    if (!x) return 0;
    std::string s = data_of(x);
    offset = clamp_offset(x, offset);
    if (count > 0) s.erase(static_cast<size_t>(offset), static_cast<size_t>(count));
    set_data(x, std::move(s));
    return 0;
}

long xmltree_charnode_replacedata(t_xmltree_charnode *x, long offset, long count, const char *text) {
    if (!x) return 0;
    xmltree_charnode_deletedata(x, offset, count);
    xmltree_charnode_insertdata(x, offset, text);
    return 0;
}

long xmltree_text_splittext(t_xmltree_text *) { return 0; }
long xmltree_cdata_splittext(t_xmltree_cdata *) { return 0; }

// ---- documents

t_xmltree_element *xmltree_document_createelement(t_xmltree_document *x, t_symbol *tagname) {
    t_xmltree_element *e = xmltree_element_new();
    if (!e) return nullptr;
    e->node.nodename = tagname ? tagname : empty();
    e->node.ownerdocument = x ? &x->node : nullptr;
    return e;
}

static t_xmltree_charnode *charnode_with(t_xmltree_charnode *n, t_xmltree_document *x, const char *text) {
    if (!n) return nullptr;
    n->node.ownerdocument = x ? &x->node : nullptr;
    if (text) set_data(n, text);
    return n;
}

t_xmltree_text *xmltree_document_createtextnode(t_xmltree_document *x, const char *text) {
    return charnode_with(xmltree_text_new(), x, text);
}
t_xmltree_comment *xmltree_document_createcomment(t_xmltree_document *x, const char *text) {
    return charnode_with(xmltree_comment_new(), x, text);
}
t_xmltree_cdata *xmltree_document_createcdatasection(t_xmltree_document *x, const char *text) {
    return charnode_with(xmltree_cdata_new(), x, text);
}

t_xmltree_attribute *xmltree_document_createattribute(t_xmltree_document *x, t_symbol *name) {
    t_xmltree_attribute *a = xmltree_attribute_new();
    if (!a) return nullptr;
    a->node.nodename = name ? name : empty();
    a->node.ownerdocument = x ? &x->node : nullptr;
    return a;
}

void xmltree_document_createheader(t_xmltree_document *x, t_symbol *encoding) {
    if (!x) return;
    if (kivo::xml::is_header_encoding(encoding)) {
        x->header = 1;
        x->encoding = encoding;
    } else {
        x->header = 0;
        x->encoding = gensym("utf-8");
    }
}

void xmltree_document_createprocessinginstruction(t_xmltree_document *x, t_symbol *target,
                                                  t_symbol *data) {
    if (!x) return;
    x->pi = 1;
    x->pi_target = target ? target : empty();
    x->pi_data = data ? data : empty();
}

static t_linklist *elements_by_tagname(t_xmltree_node *x, t_symbol *tagname) {
    if (!x) return nullptr;
    t_linklist *found = nullptr;
    // Pre-order without recursion: children go on the stack last first.
    std::vector<t_xmltree_node *> stack{x};
    while (!stack.empty()) {
        t_xmltree_node *n = stack.back();
        stack.pop_back();
        if (n->nodename == tagname) {
            if (!found) {
                found = linklist_new();
                if (!found) return nullptr;
                linklist_flags(found, LINKLIST_FLAG_NOFREE);
            }
            linklist_append(found, n);
        }
        for (t_xmltree_node *c = n->lastchild; c; c = c->previoussibling) stack.push_back(c);
    }
    return found;
}

t_linklist *xmltree_document_getelementsbytagname(t_xmltree_document *x, t_symbol *tagname) {
    return x ? elements_by_tagname(&x->node, tagname) : nullptr;
}

// ---- elements

long xmltree_attr_symcompare(t_xmltree_node *x, t_symbol *name) {
    return x && x->nodename == name ? 1 : 0;
}
long xmltree_element_symcompare(t_xmltree_node *x, t_symbol *name) {
    return x && x->nodename == name ? 1 : 0;
}

long xmltree_element_getattribute(t_xmltree_element *x, t_symbol *name, long *ac, t_atom **av) {
    t_xmltree_attribute *a = find_attribute(x, name);
    if (!a) return -1;
    xmltree_node_getnodevalue(&a->node, nullptr, ac, av);
    return 0;
}

long xmltree_element_setattribute(t_xmltree_element *x, t_symbol *name, long ac, t_atom *av) {
    if (!x) return -1;
    t_xmltree_attribute *a = find_attribute(x, name);
    if (a) return xmltree_node_nodevalue(&a->node, nullptr, ac, av);
    a = xmltree_document_createattribute(reinterpret_cast<t_xmltree_document *>(x->node.ownerdocument),
                                         name);
    if (!a) return -1;
    const long result = xmltree_node_nodevalue(&a->node, nullptr, ac, av);
    xmltree_element_setattributenode(x, a);
    return result;
}

long xmltree_element_removeattribute(t_xmltree_element *x, t_symbol *name) {
    t_xmltree_attribute *a = find_attribute(x, name);
    if (!a) return -1;
    linklist_deleteobject(x->node.attributes, a);
    return 0;
}

t_xmltree_attribute *xmltree_element_getattributenode(t_xmltree_element *x, t_symbol *name) {
    return find_attribute(x, name);
}

t_xmltree_attribute *xmltree_element_setattributenode(t_xmltree_element *x, t_xmltree_attribute *attr) {
    if (!x || !attr) return nullptr;
    if (!x->node.attributes) x->node.attributes = linklist_new();
    if (!x->node.attributes) return nullptr;
    // Setting a node that is already there keeps it: freeing it first would
    // leave the list holding a freed node.
    if (linklist_objptr2index(x->node.attributes, attr) >= 0) return nullptr;
    if (t_xmltree_attribute *old = find_attribute(x, attr->node.nodename))
        linklist_deleteobject(x->node.attributes, old);
    linklist_append(x->node.attributes, attr);
    return nullptr;
}

long xmltree_element_removeattributenode(t_xmltree_element *x, t_xmltree_attribute *attr) {
    if (!x || !attr) return 0;
    if (t_xmltree_attribute *a = find_attribute(x, attr->node.nodename))
        linklist_deleteobject(x->node.attributes, a);
    return 0;
}

t_linklist *xmltree_element_getelementsbytagname(t_xmltree_element *x, t_symbol *tagname) {
    return x ? elements_by_tagname(&x->node, tagname) : nullptr;
}

t_symbol *xmltree_element_getattribute_sym(t_xmltree_element *x, t_symbol *name) {
    t_xmltree_attribute *a = find_attribute(x, name);
    return a ? xmltree_node_getnodevalue_sym(&a->node) : empty();
}
t_atom_long xmltree_element_getattribute_long(t_xmltree_element *x, t_symbol *name) {
    t_xmltree_attribute *a = find_attribute(x, name);
    return a ? xmltree_node_getnodevalue_long(&a->node) : 0;
}
float xmltree_element_getattribute_float(t_xmltree_element *x, t_symbol *name) {
    t_xmltree_attribute *a = find_attribute(x, name);
    return a ? xmltree_node_getnodevalue_float(&a->node) : 0.0f;
}

long xmltree_element_setattribute_sym(t_xmltree_element *x, t_symbol *name, t_symbol *value) {
    t_atom a;
    atom_setsym(&a, value ? value : empty());
    return xmltree_element_setattribute(x, name, 1, &a);
}
long xmltree_element_setattribute_long(t_xmltree_element *x, t_symbol *name, t_atom_long value) {
    t_atom a;
    atom_setlong(&a, value);
    return xmltree_element_setattribute(x, name, 1, &a);
}
long xmltree_element_setattribute_float(t_xmltree_element *x, t_symbol *name, float value) {
    t_atom a;
    atom_setfloat(&a, value);
    return xmltree_element_setattribute(x, name, 1, &a);
}

long xmltree_element_getattribute_sym_array(t_xmltree_element *x, t_symbol *name, long count,
                                            t_symbol **vals) {
    t_xmltree_attribute *a = find_attribute(x, name);
    return a ? xmltree_node_getnodevalue_sym_array(&a->node, count, vals) : 0;
}
long xmltree_element_getattribute_long_array(t_xmltree_element *x, t_symbol *name, long count,
                                             t_atom_long *vals) {
    t_xmltree_attribute *a = find_attribute(x, name);
    return a ? xmltree_node_getnodevalue_long_array(&a->node, count, vals) : 0;
}
long xmltree_element_getattribute_float_array(t_xmltree_element *x, t_symbol *name, long count,
                                              float *vals) {
    t_xmltree_attribute *a = find_attribute(x, name);
    return a ? xmltree_node_getnodevalue_float_array(&a->node, count, vals) : 0;
}

} // extern "C"

namespace {
template <typename T, typename Set>
long set_attribute_array(t_xmltree_element *x, t_symbol *name, long count, const T *vals, Set set) {
    if (!x || !vals) return -1;
    if (count < 0) count = 0;
    std::vector<t_atom> atoms(static_cast<size_t>(count));
    for (long i = 0; i < count; i++) set(&atoms[static_cast<size_t>(i)], vals[i]);
    return xmltree_element_setattribute(x, name, count, atoms.data());
}
} // namespace

extern "C" {

long xmltree_element_setattribute_sym_array(t_xmltree_element *x, t_symbol *name, long count,
                                            t_symbol **vals) {
    return set_attribute_array(x, name, count, vals,
                               [](t_atom *a, t_symbol *v) { atom_setsym(a, v ? v : empty()); });
}
long xmltree_element_setattribute_long_array(t_xmltree_element *x, t_symbol *name, long count,
                                             t_atom_long *vals) {
    return set_attribute_array(x, name, count, vals, [](t_atom *a, t_atom_long v) { atom_setlong(a, v); });
}
long xmltree_element_setattribute_float_array(t_xmltree_element *x, t_symbol *name, long count,
                                              float *vals) {
    return set_attribute_array(x, name, count, vals, [](t_atom *a, float v) { atom_setfloat(a, v); });
}

} // extern "C"
