/*
 * XML text in and out of the tree: the Expat reader, the indented writer,
 * the console printer, entity conversion and text gathering.
 *
 * Reading: Expat decodes the text itself (byte-order mark, declaration)
 * and reports everything in UTF-8, so what it reports goes into the tree
 * unconverted, whatever encoding an earlier read left on the document.
 * The parse state lives in a Parse record on the stack; the document's
 * currentnode and depth mirror it while the parse runs. Character data
 * that Expat reports in pieces is gathered whole before it reaches its
 * node, so long text neither gets cut nor copied once per piece.
 *
 * Untrusted input: Expat keeps open elements on its own heap stack, the
 * tree is built, walked and freed without recursion, and internal entities
 * are not expanded in content (a default handler is installed); Expat's
 * amplification guard bounds what entities in attribute values can grow to.
 *
 * Writing goes through path_createsysfile, which writes a temporary file
 * and renames it into place on close.
 */
#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "kivo/charset.h"
#include "kivo/files.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "kivo/xmltree.h"
#include "runtime/xmltree_internal.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// ---- reading

struct Parse {
    t_xmltree_document *doc;
    t_xmltree_node *current;
    // Character data waiting for its node: gathered across Expat's pieces.
    t_xmltree_charnode *pending_node = nullptr;
    std::string pending;
    bool failed = false;

    void flush() {
        if (!pending_node) return;
        t_xmltree_charnode *n = pending_node;
        pending_node = nullptr;
        std::string whole = n->data ? std::string(n->data, static_cast<size_t>(n->length)) : std::string();
        whole += pending;
        pending.clear();
        char *copy = sysmem_newptr(static_cast<t_ptr_size>(whole.size() + 1));
        if (!copy) {
            failed = true;
            return;
        }
        std::memcpy(copy, whole.data(), whole.size());
        copy[whole.size()] = '\0';
        if (n->data) sysmem_freeptr(n->data);
        n->data = copy;
        n->length = static_cast<long>(whole.size());
    }

    void enter(t_xmltree_node *n) {
        current = n;
        doc->currentnode = n;
        doc->depth++;
    }
    void leave() {
        doc->depth--;
        current = current->parentnode ? current->parentnode : &doc->node;
        doc->currentnode = current;
    }
    void append(t_xmltree_node *n) {
        if (xmltree_node_appendchild(current, n) != 0) {
            object_free(n);
            failed = true;
        }
    }
};

Parse *state(void *data) { return static_cast<Parse *>(data); }

void XMLCALL on_xmldecl(void *data, const XML_Char *, const XML_Char *encoding, int) {
    Parse *p = state(data);
    p->flush();
    xmltree_document_createheader(p->doc, encoding ? gensym(encoding) : gensym("utf-8"));
}

void XMLCALL on_start(void *data, const XML_Char *name, const XML_Char **atts) {
    Parse *p = state(data);
    p->flush();
    t_xmltree_element *e = xmltree_document_createelement(p->doc, gensym(name));
    if (!e) {
        p->failed = true;
        return;
    }
    for (const XML_Char **a = atts; a && a[0] && a[1]; a += 2) {
        t_xmltree_attribute *attr = xmltree_document_createattribute(p->doc, gensym(a[0]));
        if (!attr) {
            p->failed = true;
            break;
        }
        xmltree_node_setnodevalasstring(&attr->node, a[1]);
        attr->specified = 1;
        xmltree_element_setattributenode(e, attr);
    }
    p->append(&e->node);
    if (e->node.parentnode) p->enter(&e->node);
}

void XMLCALL on_end(void *data, const XML_Char *) {
    Parse *p = state(data);
    p->flush();
    p->leave();
}

void XMLCALL on_chars(void *data, const XML_Char *s, int len) {
    Parse *p = state(data);
    if (len <= 0) return;
    const auto &k = kivo::xml::kinds();
    t_xmltree_charnode *target = nullptr;
    if (p->current->nodetype == k.cdata) {
        target = reinterpret_cast<t_xmltree_charnode *>(p->current);
    } else if (p->current->lastchild && p->current->lastchild->nodetype == k.text) {
        target = reinterpret_cast<t_xmltree_charnode *>(p->current->lastchild);
    } else {
        p->flush();
        t_xmltree_text *t = xmltree_document_createtextnode(p->doc, nullptr);
        if (!t) {
            p->failed = true;
            return;
        }
        p->append(&t->node);
        if (!t->node.parentnode) return;
        target = t;
    }
    if (target != p->pending_node) {
        p->flush();
        p->pending_node = target;
    }
    p->pending.append(s, static_cast<size_t>(len));
}

void XMLCALL on_comment(void *data, const XML_Char *text) {
    Parse *p = state(data);
    p->flush();
    if (t_xmltree_comment *c = xmltree_document_createcomment(p->doc, text)) p->append(&c->node);
    else p->failed = true;
}

void XMLCALL on_cdata_start(void *data) {
    Parse *p = state(data);
    p->flush();
    t_xmltree_cdata *c = xmltree_document_createcdatasection(p->doc, nullptr);
    if (!c) {
        p->failed = true;
        return;
    }
    p->append(&c->node);
    if (c->node.parentnode) p->enter(&c->node);
}

void XMLCALL on_cdata_end(void *data) {
    Parse *p = state(data);
    p->flush();
    if (p->current->nodetype == kivo::xml::kinds().cdata) p->leave();
}

void XMLCALL on_pi(void *data, const XML_Char *target, const XML_Char *text) {
    Parse *p = state(data);
    p->flush();
    xmltree_document_createprocessinginstruction(p->doc, gensym(target ? target : ""),
                                                 gensym(text ? text : ""));
}

// Declared entities are dropped rather than expanded: Expat hands their
// references here once a default handler exists.
void XMLCALL on_default(void *, const XML_Char *, int) {}
void XMLCALL on_doctype_start(void *, const XML_Char *, const XML_Char *, const XML_Char *, int) {}
void XMLCALL on_doctype_end(void *) {}

void report_parse_error(XML_Parser parser, const char *text, long length, const char *filename) {
    const long index = static_cast<long>(XML_GetCurrentByteIndex(parser));
    const char *message = XML_ErrorString(XML_GetErrorCode(parser));
    if (!message) message = "";
    if (filename)
        error("xmltree_document: error reading file %s at byte offset %d / %s", filename,
              static_cast<int>(index), message);
    else
        error("xmltree_document: error reading buffer at byte offset %d / %s", static_cast<int>(index),
              message);
    const long at = std::clamp(index, 0L, length);
    long line = 1;
    for (long i = 0; i < at; i++) {
        // A carriage return and line feed pair is one line end.
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= length || text[i + 1] != '\n'))) line++;
    }
    std::string rest;
    for (long i = at; i < length && rest.size() < 255; i++) {
        const char c = text[i];
        if (c == '\0' || c == '\n' || c == '\r') break;
        rest += c;
    }
    error("line (%d): %s", static_cast<int>(line), rest.c_str());
}

// ---- writing

// Text pieces to an open file, through the document's converter when it
// writes an encoding other than UTF-8. A piece that cannot be converted is
// left out.
struct Out {
    t_filehandle fh;
    t_charset_converter *converter;

    void put(const std::string &s) {
        if (s.empty() || !fh) return;
        if (converter) {
            char *converted = nullptr;
            long n = 0;
            if (charset_converter_convert(converter, s.data(), static_cast<long>(s.size()), &converted,
                                          &n) != 0)
                return;
            t_ptr_size count = static_cast<t_ptr_size>(n);
            sysfile_write(fh, &count, converted);
            sysmem_freeptr(converted);
            return;
        }
        t_ptr_size count = s.size();
        sysfile_write(fh, &count, s.data());
    }
};

std::string entities(const std::string &s) {
    long n = static_cast<long>(s.size());
    char *converted = xmltree_convert_entities(s.c_str(), &n);
    if (!converted) return s;
    std::string out(converted, static_cast<size_t>(n));
    sysmem_freeptr(converted);
    return out;
}

// Name and attributes of an opening tag: "name a=\"v\" ...".
std::string tag_text(t_xmltree_node *x, bool convert) {
    std::string s = x->nodename ? x->nodename->name : "";
    if (x->attributes) {
        for (t_linklistelem *e = x->attributes->head; e; e = e->next) {
            auto *a = static_cast<t_xmltree_node *>(e->item);
            if (!a) continue;
            s += ' ';
            s += a->nodename ? a->nodename->name : "";
            s += "=\"";
            const std::string v = kivo::xml::value_text(a);
            s += convert ? entities(v) : v;
            s += '"';
        }
    }
    return s;
}

void write_text_lines(Out &out, const std::string &indent, const t_xmltree_charnode *c) {
    if (!c->data) return;
    const char *p = c->data;
    const char *end = c->data + std::max(0L, c->length);
    while (p < end && *p) {
        while (p < end && is_blank(*p)) p++;
        const char *line = p;
        while (p < end && *p && *p != '\n' && *p != '\r') p++;
        const char *stop = p;
        while (stop > line && (is_blank(stop[-1]) || stop[-1] == '\f' || stop[-1] == '\v')) stop--;
        if (stop > line) out.put(indent + entities(std::string(line, stop)) + "\n");
        if (p < end && *p == '\0') break;
    }
}

t_charset_converter *converter_of(t_xmltree_node *x) {
    t_xmltree_node *owner = x->ownerdocument ? x->ownerdocument : x;
    if (owner->nodetype != kivo::xml::kinds().document) return nullptr;
    return reinterpret_cast<t_xmltree_document *>(owner)->converter;
}

void write_tree(Out &out, t_xmltree_node *root, long depth) {
    const auto &k = kivo::xml::kinds();
    struct Item {
        t_xmltree_node *node;
        long depth;
        bool closing;
    };
    std::vector<Item> stack{{root, depth < 0 ? 0 : depth, false}};
    while (!stack.empty()) {
        const Item it = stack.back();
        stack.pop_back();
        t_xmltree_node *x = it.node;
        const std::string indent(static_cast<size_t>(it.depth), '\t');
        if (it.closing) {
            out.put(indent + "</" + (x->nodename ? x->nodename->name : "") + ">\n");
            continue;
        }
        auto *c = reinterpret_cast<t_xmltree_charnode *>(x);
        if (x->nodetype == k.text) {
            write_text_lines(out, indent, c);
        } else if (x->nodetype == k.cdata) {
            out.put(indent + "<![CDATA[" + (c->data ? c->data : "") + "]]>\n");
        } else if (x->nodetype == k.comment) {
            out.put(indent + "<!--" + (c->data ? c->data : "") + "-->\n");
        } else if (!x->firstchild) {
            out.put(indent + "<" + tag_text(x, true) + " />\n");
        } else {
            out.put(indent + "<" + tag_text(x, true) + ">\n");
            stack.push_back({x, it.depth, true});
            for (t_xmltree_node *ch = x->lastchild; ch; ch = ch->previoussibling)
                stack.push_back({ch, it.depth + 1, false});
        }
    }
}

void print_tree(t_xmltree_node *root) {
    struct Item {
        t_xmltree_node *node;
        long depth;
        bool closing;
    };
    std::vector<Item> stack;
    for (t_xmltree_node *ch = root->lastchild; ch; ch = ch->previoussibling) stack.push_back({ch, 0, false});
    while (!stack.empty()) {
        const Item it = stack.back();
        stack.pop_back();
        t_xmltree_node *x = it.node;
        const std::string indent(static_cast<size_t>(it.depth) * 4, ' ');
        if (it.closing) {
            post("%s</%s>", indent.c_str(), x->nodename ? x->nodename->name : "");
        } else if (!x->firstchild) {
            post("%s<%s />", indent.c_str(), tag_text(x, false).c_str());
        } else {
            post("%s<%s>", indent.c_str(), tag_text(x, false).c_str());
            stack.push_back({x, it.depth, true});
            for (t_xmltree_node *ch = x->lastchild; ch; ch = ch->previoussibling)
                stack.push_back({ch, it.depth + 1, false});
        }
    }
}

} // namespace

extern "C" {

long xmltree_document_parse(t_xmltree_document *x, const char *text, long length,
                            const char *filename) {
    if (!x) return -1;
    if (!text) text = "";
    if (length < 0) length = static_cast<long>(std::strlen(text));
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) {
        error("xmltree_document: could not allocate memory for parser");
        return -4;
    }
    Parse p{x, &x->node};
    x->currentnode = &x->node;
    x->depth = 0;
    XML_SetUserData(parser, &p);
    XML_SetXmlDeclHandler(parser, on_xmldecl);
    XML_SetElementHandler(parser, on_start, on_end);
    XML_SetCharacterDataHandler(parser, on_chars);
    XML_SetCommentHandler(parser, on_comment);
    XML_SetCdataSectionHandler(parser, on_cdata_start, on_cdata_end);
    XML_SetProcessingInstructionHandler(parser, on_pi);
    XML_SetDoctypeDeclHandler(parser, on_doctype_start, on_doctype_end);
    XML_SetDefaultHandler(parser, on_default);

    long result = 0;
    long done = 0;
    do {
        const long chunk = std::min(length - done, static_cast<long>(INT_MAX / 2));
        const bool final = done + chunk >= length;
        if (XML_Parse(parser, text + done, static_cast<int>(chunk), final) == XML_STATUS_ERROR) {
            p.flush();
            report_parse_error(parser, text, length, filename);
            result = -1;
            break;
        }
        done += chunk;
    } while (done < length);
    p.flush();
    if (result == 0 && p.failed) result = -4;
    x->currentnode = nullptr;
    x->depth = 0;
    XML_ParserFree(parser);
    return result;
}

long xmltree_document_read_frombuffer(t_xmltree_document *x, const char *text, long length) {
    return xmltree_document_parse(x, text, length, nullptr);
}

long xmltree_document_read(t_xmltree_document *x, t_symbol *, long ac, t_atom *av) {
    if (!x) return -1;
    // Without a name the user would be asked with the open dialog; no
    // dialog service exists yet, which reads as a cancel.
    if (ac < 1 || !av || av[0].type != AT_SYM || !av[0].value.w_sym) return -1;
    char name[KIVO_PATH_MAX];
    std::snprintf(name, sizeof name, "%s", av[0].value.w_sym->name);
    short path = 0;
    t_fourcc type = 0;
    if (locatefile_extended(name, &path, &type, nullptr, 0) != 0) return -1;
    t_filehandle fh = nullptr;
    if (path_opensysfile(name, path, &fh, PATH_READ_PERM) != 0 || !fh) return -1;
    char full[KIVO_PATH_MAX];
    if (path_topathname(path, name, full) != 0) std::snprintf(full, sizeof full, "%s", name);
    x->filename = gensym(name);
    x->path = path;
    xmltree_node_removeallchildren(&x->node);
    t_handle h = sysmem_newhandle(0);
    if (!h) {
        sysfile_close(fh);
        error("xmltree_document: could not allocate buffer for reading file");
        return -1;
    }
    // Raw bytes: Expat finds the encoding and normalises line ends itself,
    // which keeps UTF-16 files intact.
    const t_kivo_err err = sysfile_readtextfile(fh, h, 0, TEXT_ENCODING_USE_FILE | TEXT_NULL_TERMINATE);
    sysfile_close(fh);
    if (err != 0) {
        sysmem_freehandle(h);
        return -1;
    }
    const t_ptr_size size = sysmem_handlesize(h);
    const long length = size > 0 ? static_cast<long>(size - 1) : 0;
    const long result = xmltree_document_parse(x, size ? *h : "", length, full);
    sysmem_freehandle(h);
    return result;
}

long xmltree_document_write(t_xmltree_document *x, t_symbol *, long ac, t_atom *av) {
    if (!x) return 0;
    // Without a name the user would be asked with the save dialog; no
    // dialog service exists yet, which reads as a cancel.
    if (ac < 1 || !av || av[0].type != AT_SYM || !av[0].value.w_sym) return 0;
    const char *given = av[0].value.w_sym->name;
    char name[KIVO_FILENAME_MAX];
    short path = 0;
    if (path_namehasseparators(given, nullptr) && path_frompotentialpathname(given, &path, name) == 0) {
        // a full or relative path name: its folder and last name
    } else {
        path = path_getdefault();
        std::snprintf(name, sizeof name, "%s", given);
    }
    t_filehandle fh = nullptr;
    if (path_createsysfile(name, path, KIVO_FOURCC('T', 'E', 'X', 'T'), &fh) != 0 || !fh) {
        error("xmltree_document_write: could not open file %s", given);
        return 0;
    }
    x->filename = gensym(name);
    x->path = path;
    if (x->converter) object_free(x->converter);
    x->converter = nullptr;
    if (x->encoding && x->encoding != gensym("utf-8"))
        x->converter = charset_converter_new(gensym("utf-8"), x->encoding);
    Out out{fh, x->converter};
    if (x->header)
        out.put(std::string("<?xml version=\"1.0\" encoding=\"") + x->encoding->name +
                "\" standalone=\"yes\"?>\n\n");
    if (x->pi)
        out.put(std::string("<?") + (x->pi_target ? x->pi_target->name : "") + " " +
                (x->pi_data ? x->pi_data->name : "") + "?>\n\n");
    for (t_xmltree_node *c = x->node.firstchild; c; c = c->nextsibling) write_tree(out, c, 0);
    if (x->converter) object_free(x->converter);
    x->converter = nullptr;
    t_ptr_size pos = 0;
    if (sysfile_getpos(fh, &pos) == 0) sysfile_seteof(fh, pos);
    sysfile_close(fh);
    return 0;
}

void xmltree_node_write(t_xmltree_node *x, void *fh, long depth) {
    if (!x || !fh) return;
    Out out{static_cast<t_filehandle>(fh), converter_of(x)};
    write_tree(out, x, depth);
}

void xmltree_document_print(t_xmltree_document *x) {
    if (x) print_tree(&x->node);
}

char *xmltree_convert_entities(const char *text, long *length) {
    if (!text || !length || *length <= 0) return nullptr;
    const long n = *length;
    std::string out;
    bool changed = false;
    for (long i = 0; i < n; i++) {
        switch (text[i]) {
        case '"': out += "&quot;"; changed = true; break;
        case '&': out += "&amp;"; changed = true; break;
        case '<': out += "&lt;"; changed = true; break;
        case '>': out += "&gt;"; changed = true; break;
        default: out += text[i]; break;
        }
    }
    if (!changed) return nullptr;
    char *result = sysmem_newptrclear(static_cast<t_ptr_size>(out.size() + 1));
    if (!result) return nullptr;
    std::memcpy(result, out.data(), out.size());
    *length = static_cast<long>(out.size());
    return result;
}

long xml_textslurp(t_xmltree_node *x, t_xml_textslurp_state *st) {
    if (!x || !st || !st->text || st->size <= 0) return 0;
    if (x->nodetype != kivo::xml::kinds().text) return 0;
    auto *c = reinterpret_cast<t_xmltree_charnode *>(x);
    if (!c->data || c->length <= 0 || std::strstr(c->data, "TEXT_HERE")) return 0;
    const char *p = c->data;
    while (*p && is_blank(*p)) p++;
    if (!*p) return 0;
    const long room = st->size - 1; // the NUL always fits
    if (st->pos < 0) st->pos = 0;
    if (st->pos > room) st->pos = room;
    if (st->pos > 0 && st->pos < room) st->text[st->pos++] = ' ';
    while (*p && st->pos < room) {
        if (is_blank(*p)) {
            st->text[st->pos++] = ' ';
            while (*p && is_blank(*p)) p++;
            continue;
        }
        st->text[st->pos++] = *p == '"' ? '\'' : *p;
        p++;
    }
    st->text[st->pos] = '\0';
    return 0;
}

} // extern "C"
