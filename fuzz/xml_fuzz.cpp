// libFuzzer target for the XML reader: the input sits in a block of exactly
// its size, so AddressSanitizer sees any read past the end. Whatever the
// parse answers, the tree built must keep its links (parents, siblings,
// first and last child, owner document), character data must match its
// length, and the gatherers and value readers must run over it. The input
// is also used as a substitution template and as a pattern, which exercises
// the template reader and the loop over matches (empty matches, \K, CRLF,
// UTF-8) on arbitrary text.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "kivo/kivo.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

t_kivopcre *g_regexp = nullptr;

// Walks the tree without recursion, checking every link.
void walk(t_xmltree_document *doc) {
    t_symbol *text = gensym("text");
    std::vector<t_xmltree_node *> todo{&doc->node};
    while (!todo.empty()) {
        t_xmltree_node *x = todo.back();
        todo.pop_back();
        t_xmltree_node *prev = nullptr;
        long count = 0;
        for (t_xmltree_node *c = x->firstchild; c; c = c->nextsibling) {
            check(c->parentnode == x);
            check(c->previoussibling == prev);
            check(c->ownerdocument == &doc->node);
            prev = c;
            count++;
            todo.push_back(c);
        }
        check(x->lastchild == prev);
        check(!x->childnodes || linklist_getsize(x->childnodes) == count);
        if (x->nodetype == text || x->nodetype == gensym("comment") || x->nodetype == gensym("cdata")) {
            auto *c = reinterpret_cast<t_xmltree_charnode *>(x);
            check(c->data ? static_cast<long>(std::strlen(c->data)) == c->length : c->length == 0);
            long n = c->length;
            if (char *e = xmltree_convert_entities(c->data, &n)) {
                check(static_cast<long>(std::strlen(e)) == n);
                sysmem_freeptr(e);
            }
        }
        if (x->attributes) {
            for (t_linklistelem *e = x->attributes->head; e; e = e->next) {
                auto *a = static_cast<t_xmltree_node *>(e->item);
                long ac = 0;
                t_atom *av = nullptr;
                xmltree_node_getnodevalue(a, nullptr, &ac, &av);
                if (av) sysmem_freeptr(av);
            }
        }
    }
    if (t_linklist *texts = xmltree_document_getelementsbytagname(doc, text)) {
        char buf[256];
        t_xml_textslurp_state st{buf, sizeof buf, 0};
        buf[0] = '\0';
        linklist_funall(texts, reinterpret_cast<t_linklist_fn>(&xml_textslurp), &st);
        check(std::strlen(buf) < sizeof buf && st.pos < static_cast<long>(sizeof buf));
        linklist_chuck(texts);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const long err = kivo_startup();
    xmltree_init();
    g_regexp = kivopcre_new("(\\w)(\\d*)", nullptr);
    return static_cast<int>(err);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> exact(data, data + size);
    t_xmltree_document *doc = xmltree_document_new();
    const long err = xmltree_document_read_frombuffer(doc, exact.data(), static_cast<long>(size));
    check(err == 0 || err == -1);
    check(doc->currentnode == nullptr);
    walk(doc);
    object_free(doc);

    std::vector<char> tmpl(data, data + size);
    tmpl.push_back('\0');
    kivopcre_set_substitution_string(g_regexp, tmpl.data());
    t_atomarray *result = nullptr;
    t_string *s = nullptr;
    if (kivopcre_execute(g_regexp, "a1 b22 c", &result, &s) == 0) {
        check(result && s && string_getptr(s));
        object_free(result);
        object_free(s);
    }

    t_kivopcre *x = kivopcre_new(tmpl.data(), "<%1>");
    result = nullptr;
    s = nullptr;
    if (kivopcre_execute(x, "ab\r\n\xc3\xa9 12 x\n\ny", &result, &s) == 0) {
        check(result && atomarray_getsize(result) > 0 && s && string_getptr(s));
        object_free(result);
        object_free(s);
    } else {
        check(!result && !s);
    }
    object_free(x);
    return 0;
}
