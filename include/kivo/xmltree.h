/*
 * The XML tree: a small document object model. A document node owns a
 * tree of element, attribute, text, comment and CDATA nodes; each kind is
 * a nobox class ("xmltree_document", "xmltree_element", ...) whose
 * operations are messages named after the DOM operations in lower case,
 * and each message is also the function below of the same name.
 *
 * Ownership: a node owns its child list (and so its whole subtree), its
 * attribute list and its value. Attaching a node does not copy it: a node
 * lives in one place of one tree; attaching a node that already has a
 * parent moves it. The document frees the whole tree when freed. Lists
 * answered by getelementsbytagname refer to nodes without owning them:
 * free them with linklist_chuck.
 *
 * Threads: child-list changes run inside the global critical region, so a
 * reader on another thread sees consistent links; otherwise a tree is used
 * by one thread at a time.
 */
#ifndef KIVO_XMLTREE_H
#define KIVO_XMLTREE_H

#include "kivo/charset.h"
#include "kivo/linklist.h"
#include "kivo/object.h"

KIVO_BEGIN_C

/* Kinds of a node's value. */
enum {
    XMLTREE_VALUE_NONE = 0,
    XMLTREE_VALUE_ATOMS = 1,
    XMLTREE_VALUE_TEXT = 2
};

/* The common part every node record begins with. Other modules read every
   field; only the tree operations write the links. */
typedef struct xmltree_node {
    t_object ob;
    t_symbol *nodename;
    t_atom *v_atoms;                      /* the value as atoms (owned pointer block) */
    long v_atomcount;
    char *v_text;                         /* the value as text (owned pointer block) */
    t_symbol *nodetype;
    struct xmltree_node *parentnode;      /* null for the document and unattached nodes */
    t_linklist *childnodes;               /* owns the children; made on first insertion */
    struct xmltree_node *firstchild;
    struct xmltree_node *lastchild;
    struct xmltree_node *previoussibling;
    struct xmltree_node *nextsibling;
    t_linklist *attributes;               /* owns the attribute nodes; made on first use */
    struct xmltree_node *ownerdocument;   /* the document that created the node */
    char v_kind;                          /* XMLTREE_VALUE_* */
} t_xmltree_node;

typedef struct xmltree_document {
    t_xmltree_node node;
    t_symbol *filename;
    short path;
    t_xmltree_node *currentnode;          /* receives parsed content; during a parse only */
    long depth;                           /* nesting depth of the parse */
    char header;                          /* write the XML declaration */
    t_symbol *encoding;                   /* "utf-8" when created */
    char pi;                              /* write the processing instruction */
    t_symbol *pi_target;
    t_symbol *pi_data;
    t_charset_converter *converter;       /* of the current write, else null */
} t_xmltree_document;

typedef struct xmltree_element {
    t_xmltree_node node;
} t_xmltree_element;

typedef struct xmltree_attribute {
    t_xmltree_node node;
    long specified;                       /* 1 when read from a file, 0 when set by code */
} t_xmltree_attribute;

/* Text, comment and CDATA nodes. The character data is separate from the
   node value; only the character data is written out. */
typedef struct xmltree_charnode {
    t_xmltree_node node;
    long length;
    char *data;                           /* NUL-terminated pointer block (owned), or null */
} t_xmltree_charnode;

typedef t_xmltree_charnode t_xmltree_text;
typedef t_xmltree_charnode t_xmltree_comment;
typedef t_xmltree_charnode t_xmltree_cdata;

/* A comparison of sortchildnodes: non-zero when a may stay before b. */
typedef long (*t_xmltree_cmpfn)(void *a, void *b);

/* Registers the node classes; later calls do nothing. */
KIVO_EXPORT void xmltree_init(void);

/* ---- building classes on the node records */
KIVO_EXPORT void xmltree_node_addinterface(t_class *c);
KIVO_EXPORT void xmltree_charnode_addinterface(t_class *c);
/* Initialise a record in place: empty names, no value, no links, the
   given node type (a character node also takes it as its name). */
KIVO_EXPORT void xmltree_node_new(t_xmltree_node *x, t_symbol *nodetype);
KIVO_EXPORT void xmltree_charnode_new(t_xmltree_charnode *x, t_symbol *nodetype);
/* Release what a record owns (subtree, attributes, value, data). */
KIVO_EXPORT void xmltree_node_free(t_xmltree_node *x);
KIVO_EXPORT void xmltree_charnode_free(t_xmltree_charnode *x);

/* ---- children: 0, or -1 as noted */
/* -1 for a null new child, or one that is the node or holds it. */
KIVO_EXPORT long xmltree_node_insertbefore(t_xmltree_node *x, t_xmltree_node *newchild,
                                           t_xmltree_node *refchild);
/* -1 without children or without the old child; the old child is freed. */
KIVO_EXPORT long xmltree_node_replacechild(t_xmltree_node *x, t_xmltree_node *newchild,
                                           t_xmltree_node *oldchild);
/* -1 without children or child; the child is freed. */
KIVO_EXPORT long xmltree_node_removechild(t_xmltree_node *x, t_xmltree_node *child);
KIVO_EXPORT long xmltree_node_appendchild(t_xmltree_node *x, t_xmltree_node *newchild);
KIVO_EXPORT long xmltree_node_haschildnodes(t_xmltree_node *x);
/* Creates nothing. */
KIVO_EXPORT long xmltree_node_clonenode(t_xmltree_node *x);
KIVO_EXPORT long xmltree_node_removeallchildren(t_xmltree_node *x);
KIVO_EXPORT long xmltree_node_sortchildlist(t_xmltree_node *x, t_xmltree_cmpfn cmp);

/* ---- values */
/* Atoms: the attribute getter convention (a caller array of *ac atoms, or
   a new block the caller frees with sysmem_freeptr). attr is ignored. */
KIVO_EXPORT long xmltree_node_nodevalue(t_xmltree_node *x, void *attr, long ac, t_atom *av);
KIVO_EXPORT long xmltree_node_getnodevalue(t_xmltree_node *x, void *attr, long *ac, t_atom **av);
KIVO_EXPORT long xmltree_node_setnodevalasstring(t_xmltree_node *x, const char *text);
/* With *size > 0 and *text given, at most *size - 1 characters are copied
   and *size becomes the copied length plus one; otherwise *text is a new
   block (sysmem_freeptr) of *size bytes. */
KIVO_EXPORT long xmltree_node_getnodevalasstring(t_xmltree_node *x, long *size, char **text);

KIVO_EXPORT t_symbol *xmltree_node_getnodevalue_sym(t_xmltree_node *x);
KIVO_EXPORT t_atom_long xmltree_node_getnodevalue_long(t_xmltree_node *x);
KIVO_EXPORT float xmltree_node_getnodevalue_float(t_xmltree_node *x);
KIVO_EXPORT long xmltree_node_nodevalue_sym(t_xmltree_node *x, t_symbol *value);
KIVO_EXPORT long xmltree_node_nodevalue_long(t_xmltree_node *x, t_atom_long value);
KIVO_EXPORT long xmltree_node_nodevalue_float(t_xmltree_node *x, float value);
/* The value's full atom count; at most count entries are filled. */
KIVO_EXPORT long xmltree_node_getnodevalue_sym_array(t_xmltree_node *x, long count, t_symbol **vals);
KIVO_EXPORT long xmltree_node_getnodevalue_long_array(t_xmltree_node *x, long count,
                                                      t_atom_long *vals);
KIVO_EXPORT long xmltree_node_getnodevalue_float_array(t_xmltree_node *x, long count, float *vals);
KIVO_EXPORT long xmltree_node_nodevalue_sym_array(t_xmltree_node *x, long count, t_symbol **vals);
KIVO_EXPORT long xmltree_node_nodevalue_long_array(t_xmltree_node *x, long count,
                                                   t_atom_long *vals);
KIVO_EXPORT long xmltree_node_nodevalue_float_array(t_xmltree_node *x, long count, float *vals);

/* ---- character data */
/* A new block (sysmem_freeptr), or null without data. */
KIVO_EXPORT char *xmltree_charnode_substringdata(t_xmltree_charnode *x, long offset, long count);
KIVO_EXPORT long xmltree_charnode_appenddata(t_xmltree_charnode *x, const char *text);
KIVO_EXPORT long xmltree_charnode_insertdata(t_xmltree_charnode *x, long offset, const char *text);
KIVO_EXPORT long xmltree_charnode_deletedata(t_xmltree_charnode *x, long offset, long count);
KIVO_EXPORT long xmltree_charnode_replacedata(t_xmltree_charnode *x, long offset, long count,
                                              const char *text);
KIVO_EXPORT long xmltree_text_splittext(t_xmltree_text *x);
KIVO_EXPORT long xmltree_cdata_splittext(t_xmltree_cdata *x);

/* ---- documents; nodes made here belong to the caller until attached */
KIVO_EXPORT t_xmltree_document *xmltree_document_new(void);
KIVO_EXPORT void xmltree_document_free(t_xmltree_document *x);
KIVO_EXPORT t_xmltree_element *xmltree_document_createelement(t_xmltree_document *x,
                                                              t_symbol *tagname);
KIVO_EXPORT t_xmltree_text *xmltree_document_createtextnode(t_xmltree_document *x,
                                                            const char *text);
KIVO_EXPORT t_xmltree_comment *xmltree_document_createcomment(t_xmltree_document *x,
                                                              const char *text);
KIVO_EXPORT t_xmltree_cdata *xmltree_document_createcdatasection(t_xmltree_document *x,
                                                                 const char *text);
KIVO_EXPORT t_xmltree_attribute *xmltree_document_createattribute(t_xmltree_document *x,
                                                                  t_symbol *name);
/* "utf-8", "utf-16", "iso-8859-1" or "us-ascii" set the header; any other
   symbol clears it and sets "utf-8". */
KIVO_EXPORT void xmltree_document_createheader(t_xmltree_document *x, t_symbol *encoding);
KIVO_EXPORT void xmltree_document_createprocessinginstruction(t_xmltree_document *x,
                                                              t_symbol *target, t_symbol *data);
/* A new list of the matching nodes, the node itself included, in document
   order; null when none matches. Free it with linklist_chuck. */
KIVO_EXPORT t_linklist *xmltree_document_getelementsbytagname(t_xmltree_document *x,
                                                              t_symbol *tagname);

/* ---- elements and attributes */
KIVO_EXPORT long xmltree_element_getattribute(t_xmltree_element *x, t_symbol *name, long *ac,
                                              t_atom **av);
KIVO_EXPORT long xmltree_element_setattribute(t_xmltree_element *x, t_symbol *name, long ac,
                                              t_atom *av);
KIVO_EXPORT long xmltree_element_removeattribute(t_xmltree_element *x, t_symbol *name);
/* Borrowed from the element. */
KIVO_EXPORT t_xmltree_attribute *xmltree_element_getattributenode(t_xmltree_element *x,
                                                                  t_symbol *name);
/* The element takes the node and frees one of the same name; null. */
KIVO_EXPORT t_xmltree_attribute *xmltree_element_setattributenode(t_xmltree_element *x,
                                                                  t_xmltree_attribute *attr);
KIVO_EXPORT long xmltree_element_removeattributenode(t_xmltree_element *x,
                                                     t_xmltree_attribute *attr);
KIVO_EXPORT t_linklist *xmltree_element_getelementsbytagname(t_xmltree_element *x,
                                                             t_symbol *tagname);

KIVO_EXPORT t_symbol *xmltree_element_getattribute_sym(t_xmltree_element *x, t_symbol *name);
KIVO_EXPORT t_atom_long xmltree_element_getattribute_long(t_xmltree_element *x, t_symbol *name);
KIVO_EXPORT float xmltree_element_getattribute_float(t_xmltree_element *x, t_symbol *name);
KIVO_EXPORT long xmltree_element_setattribute_sym(t_xmltree_element *x, t_symbol *name,
                                                  t_symbol *value);
KIVO_EXPORT long xmltree_element_setattribute_long(t_xmltree_element *x, t_symbol *name,
                                                   t_atom_long value);
KIVO_EXPORT long xmltree_element_setattribute_float(t_xmltree_element *x, t_symbol *name,
                                                    float value);
KIVO_EXPORT long xmltree_element_getattribute_sym_array(t_xmltree_element *x, t_symbol *name,
                                                        long count, t_symbol **vals);
KIVO_EXPORT long xmltree_element_getattribute_long_array(t_xmltree_element *x, t_symbol *name,
                                                         long count, t_atom_long *vals);
KIVO_EXPORT long xmltree_element_getattribute_float_array(t_xmltree_element *x, t_symbol *name,
                                                          long count, float *vals);
KIVO_EXPORT long xmltree_element_setattribute_sym_array(t_xmltree_element *x, t_symbol *name,
                                                        long count, t_symbol **vals);
KIVO_EXPORT long xmltree_element_setattribute_long_array(t_xmltree_element *x, t_symbol *name,
                                                         long count, t_atom_long *vals);
KIVO_EXPORT long xmltree_element_setattribute_float_array(t_xmltree_element *x, t_symbol *name,
                                                          long count, float *vals);

/* 1 when the node's name is that symbol (the match functions of the
   attribute look-ups). */
KIVO_EXPORT long xmltree_attr_symcompare(t_xmltree_node *x, t_symbol *name);
KIVO_EXPORT long xmltree_element_symcompare(t_xmltree_node *x, t_symbol *name);

/* ---- constructors and free functions of the node kinds */
KIVO_EXPORT t_xmltree_element *xmltree_element_new(void);
KIVO_EXPORT void xmltree_element_free(t_xmltree_element *x);
KIVO_EXPORT t_xmltree_attribute *xmltree_attribute_new(void);
KIVO_EXPORT void xmltree_attribute_free(t_xmltree_attribute *x);
KIVO_EXPORT t_xmltree_text *xmltree_text_new(void);
KIVO_EXPORT void xmltree_text_free(t_xmltree_text *x);
KIVO_EXPORT t_xmltree_comment *xmltree_comment_new(void);
KIVO_EXPORT void xmltree_comment_free(t_xmltree_comment *x);
KIVO_EXPORT t_xmltree_cdata *xmltree_cdata_new(void);
KIVO_EXPORT void xmltree_cdata_free(t_xmltree_cdata *x);

/* ---- reading and writing XML text */

/* "read": the first argument, when a symbol, names a file found along the
   search path. 0; -1 when not found or not opened, or on a parse error
   (posted); -4 when no parser can be made. Existing children are freed. */
KIVO_EXPORT long xmltree_document_read(t_xmltree_document *x, t_symbol *s, long ac, t_atom *av);
/* "readbuffer": parses the text (length bytes) and appends what it holds. */
KIVO_EXPORT long xmltree_document_read_frombuffer(t_xmltree_document *x, const char *text,
                                                  long length);
/* filename (may be null) only names the text in error messages. */
KIVO_EXPORT long xmltree_document_parse(t_xmltree_document *x, const char *text, long length,
                                        const char *filename);
/* "write": the first argument, when a symbol, names the file. 0. */
KIVO_EXPORT long xmltree_document_write(t_xmltree_document *x, t_symbol *s, long ac, t_atom *av);
/* Writes the node and its subtree at that depth (tabs of indentation);
   fh is a t_filehandle. */
KIVO_EXPORT void xmltree_node_write(t_xmltree_node *x, void *fh, long depth);
/* "print": posts the tree to the console. */
KIVO_EXPORT void xmltree_document_print(t_xmltree_document *x);

/* A new text (sysmem_freeptr) with '"', '&', '<' and '>' written as
   entities and *length updated; null when *length is 0 or less or nothing
   needs converting (the caller then uses its own text). */
KIVO_EXPORT char *xmltree_convert_entities(const char *text, long *length);

/* The state of xml_textslurp: a caller buffer of size bytes, kept
   NUL-terminated, and the write position. */
typedef struct xml_textslurp_state {
    char *text;
    long size;
    long pos;
} t_xml_textslurp_state;

/* For linklist_funall over a list of nodes: appends the data of each
   non-empty text node (skipping any that holds "TEXT_HERE"), one space
   between pieces, white-space runs as one space, '"' as '\''. 0. */
KIVO_EXPORT long xml_textslurp(t_xmltree_node *x, t_xml_textslurp_state *state);

KIVO_END_C

#endif
