// The XML tree: child links stay consistent through every change, values
// convert between atoms and text, attributes are found and replaced by
// name, and character data is edited with clamped offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::DS;
using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::S;
using kivo::test::T;
using kivo::test::Y;

class XmlTree : public ::testing::Test {
protected:
    void SetUp() override {
        xmltree_init();
        doc = xmltree_document_new();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { object_free(doc); }

    t_xmltree_node *element(const char *name) {
        return &xmltree_document_createelement(doc, S(name))->node;
    }

    t_xmltree_document *doc = nullptr;
};

// The names of x's children read along the sibling links, checking at each
// step every link the tree promises.
std::vector<std::string> children(t_xmltree_node *x) {
    std::vector<std::string> out;
    t_xmltree_node *prev = nullptr;
    for (t_xmltree_node *c = x->firstchild; c; c = c->nextsibling) {
        EXPECT_EQ(c->previoussibling, prev) << c->nodename->name;
        EXPECT_EQ(c->parentnode, x) << c->nodename->name;
        EXPECT_EQ(linklist_getindex(x->childnodes, static_cast<t_atom_long>(out.size())), c);
        out.emplace_back(c->nodename->name);
        prev = c;
    }
    EXPECT_EQ(x->lastchild, prev);
    if (x->childnodes) {
        EXPECT_EQ(linklist_getsize(x->childnodes), static_cast<t_atom_long>(out.size()));
    }
    return out;
}

using Names = std::vector<std::string>;

TEST_F(XmlTree, NodesHaveTheirKindsNamesAndClasses) {
    struct Case {
        t_xmltree_node *node;
        const char *klass, *type, *name;
    } cases[] = {
        {&doc->node, "xmltree_document", "document", ""},
        {element("item"), "xmltree_element", "element", "item"},
        {&xmltree_document_createattribute(doc, S("x"))->node, "xmltree_attribute", "attribute", "x"},
        {&xmltree_document_createtextnode(doc, "hi")->node, "xmltree_text", "text", "text"},
        {&xmltree_document_createcomment(doc, "c")->node, "xmltree_comment", "comment", "comment"},
        {&xmltree_document_createcdatasection(doc, "d")->node, "xmltree_cdata", "cdata", "cdata"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.klass);
        EXPECT_EQ(object_classname(c.node), S(c.klass));
        EXPECT_EQ(c.node->nodetype, S(c.type));
        EXPECT_EQ(c.node->nodename, S(c.name));
        EXPECT_EQ(c.node->parentnode, nullptr);
        EXPECT_EQ(object_attr_getsym(&c.node->ob, S("nodetype")), S(c.type));
        if (c.node != &doc->node) {
            EXPECT_EQ(c.node->ownerdocument, &doc->node);
            object_free(c.node);
        }
    }
    // The classes are registered by name as well.
    auto *e = static_cast<t_xmltree_node *>(object_new(S("nobox"), S("xmltree_element")));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->nodetype, S("element"));
    object_free(e);
}

TEST_F(XmlTree, AppendInsertRemoveReplaceKeepTheLinks) {
    t_xmltree_node *root = element("root");
    t_xmltree_node *a = element("a"), *b = element("b"), *c = element("c");
    EXPECT_EQ(xmltree_node_haschildnodes(root), 0);
    EXPECT_EQ(xmltree_node_appendchild(root, a), 0);
    EXPECT_EQ(xmltree_node_appendchild(root, c), 0);
    EXPECT_EQ(xmltree_node_insertbefore(root, b, c), 0);
    EXPECT_EQ(children(root), (Names{"a", "b", "c"}));
    EXPECT_EQ(xmltree_node_haschildnodes(root), 1);

    // A null reference, or one that is no child, puts the new child first.
    t_xmltree_node *first = element("first"), *stranger = element("stranger");
    EXPECT_EQ(xmltree_node_insertbefore(root, first, nullptr), 0);
    EXPECT_EQ(children(root), (Names{"first", "a", "b", "c"}));
    t_xmltree_node *second = element("second");
    EXPECT_EQ(xmltree_node_insertbefore(root, second, stranger), 0);
    EXPECT_EQ(children(root), (Names{"second", "first", "a", "b", "c"}));

    // Removing the middle one links its neighbours to each other.
    EXPECT_EQ(xmltree_node_removechild(root, b), 0);
    EXPECT_EQ(a->nextsibling, c);
    EXPECT_EQ(c->previoussibling, a);
    EXPECT_EQ(children(root), (Names{"second", "first", "a", "c"}));

    t_xmltree_node *r = element("r");
    EXPECT_EQ(xmltree_node_replacechild(root, r, a), 0);
    EXPECT_EQ(children(root), (Names{"second", "first", "r", "c"}));
    EXPECT_EQ(xmltree_node_removechild(root, first), 0);
    EXPECT_EQ(xmltree_node_removechild(root, second), 0);
    EXPECT_EQ(children(root), (Names{"r", "c"}));

    // Refusals leave the tree as it was.
    EXPECT_EQ(xmltree_node_appendchild(root, nullptr), -1);
    EXPECT_EQ(xmltree_node_insertbefore(root, nullptr, c), -1);
    EXPECT_EQ(xmltree_node_removechild(root, stranger), -1);
    t_xmltree_node *unused = element("n");
    EXPECT_EQ(xmltree_node_replacechild(root, unused, stranger), -1);
    EXPECT_EQ(unused->parentnode, nullptr);
    object_free(unused);
    EXPECT_EQ(xmltree_node_removechild(stranger, c), -1);
    EXPECT_EQ(xmltree_node_replacechild(stranger, r, c), -1);
    EXPECT_EQ(children(root), (Names{"r", "c"}));

    EXPECT_EQ(xmltree_node_removeallchildren(root), 0);
    EXPECT_EQ(root->childnodes, nullptr);
    EXPECT_EQ(root->firstchild, nullptr);
    EXPECT_EQ(root->lastchild, nullptr);
    object_free(stranger);
    object_free(root);
}

TEST_F(XmlTree, OwnerDocumentComesFromTheParent) {
    t_xmltree_node *root = element("root"), *kid = element("kid");
    EXPECT_EQ(xmltree_node_appendchild(&doc->node, root), 0);
    EXPECT_EQ(root->ownerdocument, &doc->node);
    // A node without an owner document becomes its children's owner.
    t_xmltree_element *loose = xmltree_element_new();
    ASSERT_EQ(loose->node.ownerdocument, nullptr);
    EXPECT_EQ(xmltree_node_appendchild(&loose->node, kid), 0);
    EXPECT_EQ(kid->ownerdocument, &loose->node);
    object_free(loose);
}

// A node lives in one place: attaching it elsewhere moves it, and a node
// cannot go below itself. Either would otherwise free a node twice or loop
// for ever when the tree is freed.
TEST_F(XmlTree, AttachingMovesANodeAndRefusesCycles) {
    t_xmltree_node *p = element("p"), *q = element("q"), *n = element("n"), *m = element("m");
    xmltree_node_appendchild(p, n);
    xmltree_node_appendchild(p, m);
    EXPECT_EQ(xmltree_node_appendchild(q, n), 0);
    EXPECT_EQ(children(p), (Names{"m"}));
    EXPECT_EQ(children(q), (Names{"n"}));
    EXPECT_EQ(xmltree_node_insertbefore(q, m, n), 0);
    EXPECT_EQ(children(p), Names{});
    EXPECT_EQ(children(q), (Names{"m", "n"}));
    // Moving within the same parent.
    EXPECT_EQ(xmltree_node_appendchild(q, m), 0);
    EXPECT_EQ(children(q), (Names{"n", "m"}));

    EXPECT_EQ(xmltree_node_appendchild(q, q), -1);
    EXPECT_EQ(xmltree_node_appendchild(n, q), -1);
    EXPECT_EQ(xmltree_node_insertbefore(m, q, nullptr), -1);
    EXPECT_EQ(children(q), (Names{"n", "m"}));
    object_free(p);
    object_free(q);
}

// Freeing a child on its own takes it out of its parent first.
TEST_F(XmlTree, FreeingAnAttachedChildDetachesIt) {
    t_xmltree_node *p = element("p"), *a = element("a"), *b = element("b"), *c = element("c");
    for (t_xmltree_node *k : {a, b, c}) xmltree_node_appendchild(p, k);
    object_free(b);
    EXPECT_EQ(children(p), (Names{"a", "c"}));
    object_free(p);
}

long by_name(void *a, void *b) {
    return std::string(static_cast<t_xmltree_node *>(a)->nodename->name) <=
           std::string(static_cast<t_xmltree_node *>(b)->nodename->name);
}

TEST_F(XmlTree, SortingRebuildsTheLinks) {
    t_xmltree_node *p = element("p");
    EXPECT_EQ(xmltree_node_sortchildlist(p, by_name), -1);
    for (const char *name : {"d", "b", "a", "c"}) xmltree_node_appendchild(p, element(name));
    EXPECT_EQ(object_method(p, S("sortchildnodes"), reinterpret_cast<void *>(&by_name)), nullptr);
    EXPECT_EQ(children(p), (Names{"a", "b", "c", "d"}));
    EXPECT_EQ(p->firstchild->nodename, S("a"));
    EXPECT_EQ(p->lastchild->nodename, S("d"));
    object_free(p);
}

TEST_F(XmlTree, DeepTreesAreFreedWithoutRecursion) {
    t_xmltree_node *top = element("top"), *n = top;
    for (int i = 0; i < 100000; i++) {
        t_xmltree_node *k = element("k");
        xmltree_node_appendchild(n, k);
        n = k;
    }
    t_linklist *found = xmltree_element_getelementsbytagname(
        reinterpret_cast<t_xmltree_element *>(top), S("k"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(linklist_getsize(found), 100000);
    linklist_chuck(found);
    object_free(top);
}

TEST_F(XmlTree, ElementsByTagNameWalkInDocumentOrder) {
    t_xmltree_node *item = element("item"), *a = element("a"), *inner = element("item");
    xmltree_node_appendchild(&doc->node, item);
    xmltree_node_appendchild(item, a);
    xmltree_node_appendchild(a, inner);
    xmltree_node_appendchild(a, &xmltree_document_createtextnode(doc, "t1")->node);
    xmltree_node_appendchild(item, &xmltree_document_createtextnode(doc, "t2")->node);

    t_linklist *l = xmltree_element_getelementsbytagname(reinterpret_cast<t_xmltree_element *>(item), S("item"));
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(linklist_getsize(l), 2);
    EXPECT_EQ(linklist_getindex(l, 0), item);
    EXPECT_EQ(linklist_getindex(l, 1), inner);
    linklist_chuck(l);

    l = xmltree_document_getelementsbytagname(doc, S("text"));
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(linklist_getsize(l), 2);
    EXPECT_STREQ(reinterpret_cast<t_xmltree_charnode *>(linklist_getindex(l, 0))->data, "t1");
    // The list does not own the nodes: freeing it as an object is safe too.
    object_free(l);
    EXPECT_EQ(xmltree_document_getelementsbytagname(doc, S("none")), nullptr);
}

// ---- values

std::string value_string(t_xmltree_node *x) {
    long size = 0;
    char *text = nullptr;
    EXPECT_EQ(xmltree_node_getnodevalasstring(x, &size, &text), 0);
    std::string s = text ? text : "(null)";
    EXPECT_EQ(size, static_cast<long>(s.size() + 1));
    sysmem_freeptr(text);
    return s;
}

TEST_F(XmlTree, TextValuesReadBackAsAtoms) {
    t_xmltree_node *e = element("e");
    EXPECT_EQ(xmltree_node_setnodevalasstring(e, "1 2.5 foo"), 0);
    long ac = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(xmltree_node_getnodevalue(e, nullptr, &ac, &av), 0);
    ASSERT_EQ(ac, 3);
    EXPECT_EQ(av[0].type, AT_LONG);
    EXPECT_EQ(av[0].value.w_long, 1);
    EXPECT_EQ(av[1].type, AT_FLOAT);
    EXPECT_DOUBLE_EQ(av[1].value.w_float, 2.5);
    EXPECT_EQ(av[2].value.w_sym, S("foo"));
    sysmem_freeptr(av);

    // A caller's array of two takes two and says so.
    t_atom two[2];
    ac = 2;
    av = two;
    EXPECT_EQ(xmltree_node_getnodevalue(e, nullptr, &ac, &av), 0);
    EXPECT_EQ(ac, 2);
    EXPECT_EQ(av, two);

    EXPECT_EQ(xmltree_node_getnodevalue_long(e), 1);
    EXPECT_EQ(value_string(e), "1 2.5 foo");
    object_free(e);
}

TEST_F(XmlTree, AtomValuesReadBackAsText) {
    t_xmltree_node *e = element("e");
    t_xmltree_node *other = element("o");
    struct Case {
        std::vector<t_atom> atoms;
        const char *text;
    } cases[] = {
        {{L(1), F(2.5), Y("foo")}, "1 2.5 foo"},
        {{F(2.0), F(-0.125)}, "2. -0.125"},
        {{Y("a"), T(AT_COMMA), Y("b"), T(AT_COMMA)}, "a, b,"},
        {{T(AT_DOLLAR, 2), DS("1-x"), Y("y")}, "$2 $1-xy"},
        {{Y("a"), T(AT_SEMI), Y("b")}, "a b"},
        {{O(other), O(nullptr)}, "xmltree_element pointer"},
        {{}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(xmltree_node_nodevalue(e, nullptr, static_cast<long>(c.atoms.size()),
                                         const_cast<t_atom *>(c.atoms.data())),
                  0);
        EXPECT_EQ(value_string(e), c.text);
    }
    object_free(other);
    object_free(e);
}

TEST_F(XmlTree, EmptyValuesAndCallerBuffers) {
    t_xmltree_node *e = element("e");
    // No value: the getter leaves the caller's count and array alone.
    t_atom one[1];
    long ac = 1;
    t_atom *av = one;
    EXPECT_EQ(xmltree_node_getnodevalue(e, nullptr, &ac, &av), 0);
    EXPECT_EQ(ac, 1);
    EXPECT_EQ(value_string(e), "");
    EXPECT_EQ(xmltree_node_getnodevalue_sym(e), S(""));
    EXPECT_EQ(xmltree_node_getnodevalue_long(e), 0);
    EXPECT_EQ(xmltree_node_getnodevalue_float(e), 0.0f);

    // A caller's text buffer of 4 takes 3 characters.
    xmltree_node_setnodevalasstring(e, "abcdef");
    char buf[4];
    char *text = buf;
    long size = sizeof buf;
    EXPECT_EQ(xmltree_node_getnodevalasstring(e, &size, &text), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(size, 4);
    object_free(e);
}

TEST_F(XmlTree, TypedValueConveniences) {
    t_xmltree_node *e = element("e");
    EXPECT_EQ(xmltree_node_nodevalue_float(e, 1.5f), 0);
    EXPECT_EQ(xmltree_node_getnodevalue_float(e), 1.5f);
    EXPECT_EQ(xmltree_node_nodevalue_sym(e, S("s")), 0);
    EXPECT_EQ(xmltree_node_getnodevalue_sym(e), S("s"));
    EXPECT_EQ(xmltree_node_nodevalue_long(nullptr, 1), -1);

    t_atom_long in[3] = {4, 5, 6}, out[2] = {0, 0};
    EXPECT_EQ(xmltree_node_nodevalue_long_array(e, 3, in), 0);
    EXPECT_EQ(xmltree_node_getnodevalue_long_array(e, 2, out), 3);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 5);
    EXPECT_EQ(xmltree_node_nodevalue_long_array(e, 3, nullptr), -1);
    float f[2] = {0.5f, 0.25f}, g[2] = {};
    EXPECT_EQ(xmltree_node_nodevalue_float_array(e, 2, f), 0);
    EXPECT_EQ(xmltree_node_getnodevalue_float_array(e, 2, g), 2);
    EXPECT_EQ(g[1], 0.25f);
    t_symbol *syms[2] = {S("p"), S("q")}, *back[2] = {};
    EXPECT_EQ(xmltree_node_nodevalue_sym_array(e, 2, syms), 0);
    EXPECT_EQ(xmltree_node_getnodevalue_sym_array(e, 2, back), 2);
    EXPECT_EQ(back[1], S("q"));

    // A value set from the node's own atoms or text survives the change.
    EXPECT_EQ(xmltree_node_nodevalue(e, nullptr, e->v_atomcount, e->v_atoms), 0);
    EXPECT_EQ(value_string(e), "p q");
    xmltree_node_setnodevalasstring(e, "own text");
    EXPECT_EQ(xmltree_node_setnodevalasstring(e, e->v_text), 0);
    EXPECT_EQ(value_string(e), "own text");
    object_free(e);
}

TEST_F(XmlTree, NodeValueIsAnAttribute) {
    t_xmltree_node *e = element("e");
    t_atom av[2] = {L(3), Y("z")};
    EXPECT_EQ(object_attr_setvalueof(&e->ob, S("nodevalue"), 2, av), 0);
    EXPECT_EQ(value_string(e), "3 z");
    EXPECT_EQ(object_attr_getsym(&e->ob, S("tagname")), S("e"));
    EXPECT_EQ(object_attr_getsym(&e->ob, S("nodename")), S("e"));
    // The links are the tree's own: storing into them is refused.
    t_atom bogus = O(e);
    object_attr_setvalueof(&e->ob, S("firstchild"), 1, &bogus);
    EXPECT_EQ(e->firstchild, nullptr);
    object_free(e);
}

TEST_F(XmlTree, DocumentFilenameAttribute) {
    t_atom name = Y("a.xml");
    object_attr_setvalueof(&doc->node.ob, S("filename"), 1, &name);
    EXPECT_EQ(doc->filename, S("a.xml"));
    object_attr_setvalueof(&doc->node.ob, S("filename"), 0, nullptr);
    EXPECT_EQ(doc->filename, S(""));
}

// ---- attributes of elements

TEST_F(XmlTree, SetAttributeMakesOneNodePerName) {
    auto *e = reinterpret_cast<t_xmltree_element *>(element("e"));
    t_atom one = L(1), two = L(2);
    EXPECT_EQ(xmltree_element_setattribute(e, S("x"), 1, &one), 0);
    t_xmltree_attribute *a = xmltree_element_getattributenode(e, S("x"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->specified, 0);
    EXPECT_EQ(a->node.ownerdocument, &doc->node);
    EXPECT_EQ(xmltree_element_setattribute(e, S("x"), 1, &two), 0);
    EXPECT_EQ(xmltree_element_getattributenode(e, S("x")), a);
    EXPECT_EQ(linklist_getsize(e->node.attributes), 1);
    EXPECT_EQ(xmltree_element_getattribute_long(e, S("x")), 2);

    long ac = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(xmltree_element_getattribute(e, S("x"), &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(av[0].value.w_long, 2);
    sysmem_freeptr(av);
    EXPECT_EQ(xmltree_element_getattribute(e, S("missing"), &ac, &av), -1);

    // Typed getters of a missing attribute give the neutral values.
    EXPECT_EQ(xmltree_element_getattribute_sym(e, S("missing")), S(""));
    EXPECT_EQ(xmltree_element_getattribute_float(e, S("missing")), 0.0f);
    EXPECT_EQ(xmltree_element_getattribute_long_array(e, S("missing"), 0, nullptr), 0);

    EXPECT_EQ(xmltree_element_setattribute_sym(e, S("y"), S("why")), 0);
    float fv[2] = {1.5f, 2.5f}, fo[2] = {};
    EXPECT_EQ(xmltree_element_setattribute_float_array(e, S("z"), 2, fv), 0);
    EXPECT_EQ(xmltree_element_getattribute_float_array(e, S("z"), 2, fo), 2);
    EXPECT_EQ(fo[1], 2.5f);
    EXPECT_EQ(xmltree_element_getattribute_sym(e, S("y")), S("why"));

    EXPECT_EQ(xmltree_element_removeattribute(e, S("x")), 0);
    EXPECT_EQ(xmltree_element_removeattribute(e, S("x")), -1);
    EXPECT_EQ(xmltree_element_getattributenode(e, S("x")), nullptr);
    object_free(e);
}

TEST_F(XmlTree, SetAttributeNodeReplacesByName) {
    auto *e = reinterpret_cast<t_xmltree_element *>(element("e"));
    t_xmltree_attribute *a1 = xmltree_document_createattribute(doc, S("k"));
    t_xmltree_attribute *a2 = xmltree_document_createattribute(doc, S("k"));
    xmltree_node_nodevalue_long(&a1->node, 1);
    xmltree_node_nodevalue_long(&a2->node, 2);
    EXPECT_EQ(xmltree_element_setattributenode(e, a1), nullptr);
    EXPECT_EQ(xmltree_element_setattributenode(e, a2), nullptr);
    EXPECT_EQ(linklist_getsize(e->node.attributes), 1);
    EXPECT_EQ(xmltree_element_getattributenode(e, S("k")), a2);
    // Setting the node that is already there keeps it.
    EXPECT_EQ(xmltree_element_setattributenode(e, a2), nullptr);
    EXPECT_EQ(xmltree_element_getattribute_long(e, S("k")), 2);
    EXPECT_EQ(xmltree_element_removeattributenode(e, a2), 0);
    EXPECT_EQ(linklist_getsize(e->node.attributes), 0);
    object_free(e);
}

// ---- character data

TEST_F(XmlTree, CharacterDataEdits) {
    struct Case {
        const char *what;
        void (*edit)(t_xmltree_charnode *);
        const char *expect;
    } cases[] = {
        {"delete 2 at 1", [](t_xmltree_charnode *t) { xmltree_charnode_deletedata(t, 1, 2); }, "adef"},
        {"insert at 2", [](t_xmltree_charnode *t) { xmltree_charnode_insertdata(t, 2, "XY"); }, "abXYcdef"},
        {"insert past the end", [](t_xmltree_charnode *t) { xmltree_charnode_insertdata(t, 99, "!"); }, "abcdef!"},
        {"insert before the start", [](t_xmltree_charnode *t) { xmltree_charnode_insertdata(t, -5, "!"); }, "!abcdef"},
        {"delete past the end", [](t_xmltree_charnode *t) { xmltree_charnode_deletedata(t, 4, 100); }, "abcd"},
        {"delete nothing", [](t_xmltree_charnode *t) { xmltree_charnode_deletedata(t, 1, -3); }, "abcdef"},
        {"append", [](t_xmltree_charnode *t) { xmltree_charnode_appenddata(t, "gh"); }, "abcdefgh"},
        {"replace", [](t_xmltree_charnode *t) { xmltree_charnode_replacedata(t, 1, 3, "Z"); }, "aZef"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        t_xmltree_text *t = xmltree_document_createtextnode(doc, "abcdef");
        c.edit(t);
        EXPECT_STREQ(t->data, c.expect);
        EXPECT_EQ(t->length, static_cast<long>(std::strlen(c.expect)));
        EXPECT_EQ(object_attr_getlong(&t->node.ob, S("length")), t->length);
        object_free(t);
    }
}

TEST_F(XmlTree, SubstringData) {
    t_xmltree_text *t = xmltree_document_createtextnode(doc, "abcdef");
    struct Case {
        long offset, count;
        const char *expect;
    } cases[] = {{2, 3, "cde"}, {4, 10, "ef"}, {-1, 2, "ab"}, {9, 2, ""}, {1, 0, ""}};
    for (const Case &c : cases) {
        char *s = xmltree_charnode_substringdata(t, c.offset, c.count);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, c.expect) << c.offset << " " << c.count;
        sysmem_freeptr(s);
    }
    t_xmltree_text *none = xmltree_document_createtextnode(doc, nullptr);
    EXPECT_EQ(xmltree_charnode_substringdata(none, 0, 1), nullptr);
    // Editing a node without data starts from the empty text.
    xmltree_charnode_insertdata(none, 3, "x");
    EXPECT_STREQ(none->data, "x");
    EXPECT_EQ(xmltree_text_splittext(t), 0);
    EXPECT_STREQ(t->data, "abcdef");
    object_free(none);
    object_free(t);
}

TEST_F(XmlTree, MessagesReachTheOperations) {
    t_xmltree_node *p = element("p");
    t_xmltree_node *k = element("k");
    EXPECT_EQ(object_method(p, S("appendchild"), k), nullptr);
    EXPECT_EQ(p->firstchild, k);
    EXPECT_EQ(reinterpret_cast<t_atom_long>(object_method(p, S("haschildnodes"))), 1);
    auto *t = static_cast<t_xmltree_charnode *>(object_method(&doc->node, S("createtextnode"), (void *)"ab"));
    ASSERT_NE(t, nullptr);
    object_method(t, S("insertdata"), reinterpret_cast<void *>(1), (void *)"-");
    EXPECT_STREQ(t->data, "a-b");
    object_free(t);
    object_method(&doc->node, S("createheader"), S("iso-8859-1"));
    EXPECT_EQ(doc->header, 1);
    EXPECT_EQ(doc->encoding, S("iso-8859-1"));
    object_method(&doc->node, S("createheader"), S("UTF-8"));
    EXPECT_EQ(doc->header, 0);
    EXPECT_EQ(doc->encoding, S("utf-8"));
    object_free(p);
}

} // namespace
