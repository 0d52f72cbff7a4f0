/*
 * What the XML tree's two modules share: the node tree (xmltree.cpp) and
 * the reader and writer of XML text (xmlfile.cpp).
 */
#ifndef KIVO_RUNTIME_XMLTREE_INTERNAL_H
#define KIVO_RUNTIME_XMLTREE_INTERNAL_H

#include <string>

#include "kivo/xmltree.h"

namespace kivo::xml {

// The node's value in text form, as "getnodevalueasstring" gives it.
std::string value_text(t_xmltree_node *x);

// The node kinds' type symbols, interned once by xmltree_init.
struct Kinds {
    t_symbol *document, *element, *attribute, *text, *comment, *cdata;
};
const Kinds &kinds();

// 1 when the document's encoding is one of the four the XML declaration
// names: "utf-8", "utf-16", "iso-8859-1", "us-ascii".
bool is_header_encoding(t_symbol *encoding);

} // namespace kivo::xml

#endif
