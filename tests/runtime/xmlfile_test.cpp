// XML text in and out of the tree: what the parser builds, the writer's
// layout and encodings, error reports, the printer, entity conversion and
// text gathering, and input meant to exhaust memory or the stack.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::Y;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kivo_xml_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class XmlFile : public ::testing::Test {
protected:
    void SetUp() override {
        xmltree_init();
        doc = xmltree_document_new();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { object_free(doc); }

    long parse(const std::string &text) {
        return xmltree_document_read_frombuffer(doc, text.data(), static_cast<long>(text.size()));
    }
    // Writes the document to a file and answers the file's bytes.
    std::string written() {
        const std::string name = dir.file("out.xml");
        t_atom a = Y(name.c_str());
        EXPECT_EQ(xmltree_document_write(doc, S("write"), 1, &a), 0);
        return read_bytes(name);
    }
    long read_file(const std::string &name) {
        t_atom a = Y(name.c_str());
        return xmltree_document_read(doc, S("read"), 1, &a);
    }

    TempDir dir;
    t_xmltree_document *doc = nullptr;
};

t_xmltree_charnode *charnode(t_xmltree_node *x) { return reinterpret_cast<t_xmltree_charnode *>(x); }

TEST_F(XmlFile, ParsesElementsAttributesAndText) {
    ASSERT_EQ(parse("<a x=\"1\" y=\"two words\"><b/>hi &amp; bye<!--note--><![CDATA[<raw>]]></a>"), 0);
    t_xmltree_node *a = doc->node.firstchild;
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->nodename, S("a"));
    EXPECT_EQ(a->ownerdocument, &doc->node);
    auto *ae = reinterpret_cast<t_xmltree_element *>(a);
    EXPECT_EQ(xmltree_element_getattribute_long(ae, S("x")), 1);
    t_xmltree_attribute *y = xmltree_element_getattributenode(ae, S("y"));
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->specified, 1);
    EXPECT_EQ(y->node.v_kind, XMLTREE_VALUE_TEXT);
    EXPECT_STREQ(y->node.v_text, "two words");

    std::vector<std::string> kinds;
    for (t_xmltree_node *c = a->firstchild; c; c = c->nextsibling) kinds.emplace_back(c->nodetype->name);
    EXPECT_EQ(kinds, (std::vector<std::string>{"element", "text", "comment", "cdata"}));
    // Character data in pieces (the entity splits it) merges into one node.
    EXPECT_STREQ(charnode(a->firstchild->nextsibling)->data, "hi & bye");
    EXPECT_STREQ(charnode(a->lastchild->previoussibling)->data, "note");
    EXPECT_STREQ(charnode(a->lastchild)->data, "<raw>");
    EXPECT_EQ(doc->currentnode, nullptr);
}

// The layout of the written text: tabs per depth, one line per tag, empty
// elements closed in the tag, entities in text and attribute values only.
TEST_F(XmlFile, WritesTheTreeBackInItsLayout) {
    ASSERT_EQ(parse("<a x=\"1\"><b/>hi</a>"), 0);
    EXPECT_EQ(written(), "<a x=\"1\">\n\t<b />\n\thi\n</a>\n");

    object_free(doc);
    doc = xmltree_document_new();
    ASSERT_EQ(parse("<r q='say \"&lt;x&gt;\"'>\n   first line   \n\n\t  second &amp; third\n  "
                    "<!-- a & b --><![CDATA[ c & d ]]></r>"),
              0);
    EXPECT_EQ(written(), "<r q=\"say &quot;&lt;x&gt;&quot;\">\n"
                         "\tfirst line\n"
                         "\tsecond &amp; third\n"
                         "\t<!-- a & b -->\n"
                         "\t<![CDATA[ c & d ]]>\n"
                         "</r>\n");
}

TEST_F(XmlFile, HeaderEncodingsAndProcessingInstructions) {
    // Only the four lower-case names keep a header.
    ASSERT_EQ(parse("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>"), 0);
    EXPECT_EQ(doc->header, 0);
    EXPECT_EQ(written(), "<a />\n");

    object_free(doc);
    doc = xmltree_document_new();
    ASSERT_EQ(parse("<?xml version=\"1.0\" encoding=\"utf-8\"?><?first one?><?style href=\"s\"?><a/>"), 0);
    EXPECT_EQ(doc->header, 1);
    EXPECT_EQ(written(), "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n\n"
                         "<?style href=\"s\"?>\n\n<a />\n");
}

// An ISO-8859-1 file is read into UTF-8 and written back in ISO-8859-1.
// Reading again into the same document must not convert Expat's UTF-8 a
// second time.
TEST_F(XmlFile, Latin1RoundTripAndRepeatedReads) {
    const std::string latin1 = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><a t=\"caf\xe9\">na\xefve</a>";
    const std::string path = dir.file("in.xml");
    write_bytes(path, latin1);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(read_file(path), 0);
        EXPECT_EQ(doc->encoding, S("iso-8859-1"));
        t_xmltree_node *a = doc->node.firstchild;
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->nextsibling, nullptr) << "read frees the earlier children";
        EXPECT_STREQ(charnode(a->firstchild)->data, "na\xc3\xafve");
        EXPECT_EQ(xmltree_element_getattribute_sym(reinterpret_cast<t_xmltree_element *>(a), S("t")),
                  S("caf\xc3\xa9"));
    }
    EXPECT_EQ(doc->filename, S("in.xml"));
    EXPECT_EQ(written(), "<?xml version=\"1.0\" encoding=\"iso-8859-1\" standalone=\"yes\"?>\n\n"
                         "<a t=\"caf\xe9\">\n\tna\xefve\n</a>\n");
    // A UTF-8 buffer read afterwards arrives unchanged too.
    ASSERT_EQ(parse("<b>\xc3\xa9</b>"), 0);
    EXPECT_STREQ(charnode(doc->node.lastchild->firstchild)->data, "\xc3\xa9");
}

// A piece of text the document's encoding cannot hold is left out.
TEST_F(XmlFile, UnconvertibleTextIsLeftOut) {
    ASSERT_EQ(parse("<a>caf\xc3\xa9\nplain</a>"), 0);
    xmltree_document_createheader(doc, S("us-ascii"));
    EXPECT_EQ(written(), "<?xml version=\"1.0\" encoding=\"us-ascii\" standalone=\"yes\"?>\n\n"
                         "<a>\n\tplain\n</a>\n");
}

TEST_F(XmlFile, Utf16FilesRead) {
    // "<a>é</a>" in UTF-16 little-endian with a byte-order mark and CRLF.
    const std::string bytes("\xff\xfe<\0a\0>\0\xe9\0\r\0\n\0<\0/\0a\0>\0", 22);
    write_bytes(dir.file("u16.xml"), bytes);
    ASSERT_EQ(read_file(dir.file("u16.xml")), 0);
    EXPECT_STREQ(charnode(doc->node.firstchild->firstchild)->data, "\xc3\xa9\n");
}

TEST_F(XmlFile, ReadbufferAppendsTopLevelNodes) {
    ASSERT_EQ(parse("<one/>"), 0);
    ASSERT_EQ(parse("<two/>"), 0);
    ASSERT_NE(doc->node.firstchild, nullptr);
    EXPECT_EQ(doc->node.firstchild->nodename, S("one"));
    EXPECT_EQ(doc->node.lastchild->nodename, S("two"));
    EXPECT_EQ(doc->node.firstchild->nextsibling, doc->node.lastchild);
}

TEST_F(XmlFile, ParseErrorsAreReportedWithLineAndText) {
    PostCapture posts;
    EXPECT_EQ(parse("<a>\n<b>ok</b>\n<c></a> trailing\nnext"), -1);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    // Expat stops inside the end tag, after its "</".
    EXPECT_EQ(errors[0], "xmltree_document: error reading buffer at byte offset 19 / mismatched tag");
    EXPECT_EQ(errors[1], "line (3): a> trailing");
    // What was built before the error stays.
    ASSERT_NE(doc->node.firstchild, nullptr);
    EXPECT_EQ(doc->node.firstchild->firstchild->nextsibling->nodename, S("b"));

    const std::string path = dir.file("bad.xml");
    write_bytes(path, "<a>&bogus;</a>");
    EXPECT_EQ(read_file(path), -1);
    errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("xmltree_document: error reading file ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find("bad.xml at byte offset 3 / undefined entity"), std::string::npos)
        << errors[0];
    EXPECT_EQ(errors[1], "line (1): &bogus;</a>");

    // A missing file is a silent -1.
    EXPECT_EQ(read_file(dir.file("absent.xml")), -1);
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
}

TEST_F(XmlFile, WriteToAnUnwritablePlaceIsReported) {
    PostCapture posts;
    t_atom a = Y("/nonexistent-folder/x/out.xml");
    EXPECT_EQ(xmltree_document_write(doc, S("write"), 1, &a), 0);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "xmltree_document_write: could not open file /nonexistent-folder/x/out.xml");
}

TEST_F(XmlFile, LongCharacterDataIsKeptWhole) {
    std::string big(100000, 'x');
    for (size_t i = 5000; i < big.size(); i += 5000) big[i] = '\n';
    ASSERT_EQ(parse("<a>" + big + "</a>"), 0);
    t_xmltree_charnode *t = charnode(doc->node.firstchild->firstchild);
    EXPECT_EQ(t->length, static_cast<long>(big.size()));
    EXPECT_EQ(std::string(t->data), big);
}

// Entities declared in a document type are dropped, not expanded, so a
// nest of them cannot grow the tree.
TEST_F(XmlFile, DeclaredEntitiesAreDropped) {
    std::string bomb = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'k'; c++)
        bomb += std::string("<!ENTITY ") + c + " \"" + std::string(10, '&') + "\">";
    for (char c = 'b'; c <= 'k'; c++) {
        const std::string ref = std::string("&") + static_cast<char>(c - 1) + ";";
        std::string body;
        for (int i = 0; i < 10; i++) body += ref;
        const std::string decl = std::string("<!ENTITY ") + c + " \"" + std::string(10, '&') + "\">";
        bomb.replace(bomb.find(decl), decl.size(), std::string("<!ENTITY ") + c + " \"" + body + "\">");
    }
    bomb += "]><r>x&k;y &lt;</r>";
    ASSERT_EQ(parse(bomb), 0);
    EXPECT_STREQ(charnode(doc->node.firstchild->firstchild)->data, "xy <");
}

std::string nested(int depth) {
    std::string text;
    for (int i = 0; i < depth; i++) text += "<d>";
    text += "x";
    for (int i = 0; i < depth; i++) text += "</d>";
    return text;
}

// Nesting costs heap, not stack: a deep document is read and freed, and
// (less deep, since every line carries its indentation) written and
// printed.
TEST_F(XmlFile, DeepNestingNeitherOverflowsNorRecurses) {
    ASSERT_EQ(parse(nested(200000)), 0);
    object_free(doc);
    doc = xmltree_document_new();

    const int depth = 3000;
    ASSERT_EQ(parse(nested(depth)), 0);
    const std::string out = written();
    EXPECT_EQ(out.substr(0, 8), "<d>\n\t<d>");
    EXPECT_NE(out.find("\n" + std::string(depth, '\t') + "x\n"), std::string::npos);
    PostCapture posts;
    xmltree_document_print(doc);
    EXPECT_EQ(posts.texts(POST_KIND_POST).size(), 2u * depth + 1);
}

TEST_F(XmlFile, PrintPostsTheTree) {
    ASSERT_EQ(parse("<a x=\"1&amp;2\"><b/>hi</a>"), 0);
    PostCapture posts;
    xmltree_document_print(doc);
    EXPECT_EQ(posts.texts(POST_KIND_POST),
              (std::vector<std::string>{"<a x=\"1&2\">", "    <b />", "    <text />", "</a>"}));
}

TEST_F(XmlFile, NodeWriteAtADepth) {
    ASSERT_EQ(parse("<a><b>t</b></a>"), 0);
    const std::string name = dir.file("node.xml");
    t_filehandle fh = nullptr;
    short path = 0;
    char file[KIVO_FILENAME_MAX];
    ASSERT_EQ(path_frompotentialpathname(name.c_str(), &path, file), 0);
    ASSERT_EQ(path_createsysfile(file, path, KIVO_FOURCC('T', 'E', 'X', 'T'), &fh), 0);
    xmltree_node_write(doc->node.firstchild->firstchild, fh, 2);
    sysfile_close(fh);
    EXPECT_EQ(read_bytes(name), "\t\t<b>\n\t\t\tt\n\t\t</b>\n");
}

TEST(XmlEntities, ConvertsTheFourCharacters) {
    struct Case {
        const char *in;
        const char *out; // null: nothing to convert
    } cases[] = {
        {"a \"b\" & <c> 'd'", "a &quot;b&quot; &amp; &lt;c&gt; 'd'"},
        {"plain", nullptr},
        {"", nullptr},
    };
    for (const Case &c : cases) {
        long n = static_cast<long>(std::strlen(c.in));
        char *r = xmltree_convert_entities(c.in, &n);
        if (!c.out) {
            EXPECT_EQ(r, nullptr) << c.in;
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r, c.out);
        EXPECT_EQ(n, static_cast<long>(std::strlen(c.out)));
        sysmem_freeptr(r);
    }
    // Only the given length counts.
    long n = 2;
    EXPECT_EQ(xmltree_convert_entities("ab&", &n), nullptr);
}

TEST_F(XmlFile, TextSlurpJoinsTextNodes) {
    ASSERT_EQ(parse("<desc>  Say\t\t\"hi\"\n <b>to</b> <i>TEXT_HERE</i> the   world </desc>"), 0);
    t_linklist *texts = xmltree_document_getelementsbytagname(doc, S("text"));
    ASSERT_NE(texts, nullptr);
    char buf[64];
    t_xml_textslurp_state st{buf, sizeof buf, 0};
    buf[0] = '\0';
    linklist_funall(texts, reinterpret_cast<t_linklist_fn>(&xml_textslurp), &st);
    // Every piece after the first gets its separating blank, even after a
    // piece that ended in white space.
    EXPECT_STREQ(buf, "Say 'hi'  to the world ");

    // A small buffer stops at its end and stays terminated.
    char small[8];
    t_xml_textslurp_state st2{small, sizeof small, 0};
    linklist_funall(texts, reinterpret_cast<t_linklist_fn>(&xml_textslurp), &st2);
    EXPECT_STREQ(small, "Say 'hi");
    linklist_chuck(texts);
}

} // namespace
