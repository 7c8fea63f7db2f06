/**
 * @file
 * XML access through Mini-XML (libmxml, https://www.msweet.org/mxml/).
 *
 * Each function passes its arguments to the Mini-XML function named beside it and returns its
 * result unchanged; Mini-XML's own documentation is the reference. Null nodes give null results
 * (kova_xml_del of null does nothing). A malformed document gives null from kova_xml_loadfd with
 * nothing left allocated; Mini-XML reports the reason through its error callback (standard
 * error unless the process set mxmlSetErrorCallback). One difference: a document that ends
 * inside an element (a truncated file), which Mini-XML returns as far as it was read, is
 * refused too (null, the nodes it added freed, "Xml document ends inside %ld element(s)."
 * logged at level 3). Known Mini-XML 3.3.1 defect: a document whose root element (the first
 * node, without a <?xml ...?> declaration before it) has an attribute value without its closing
 * quote gives null but leaves that element allocated.
 */
#ifndef KOVA_KOVA_XML_H
#define KOVA_KOVA_XML_H

#include <mxml.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** mxmlLoadFd: reads the document on `fd` (to its end) under `top` (or as a new tree when top
 * is null); `cb` types the values (MXML_OPAQUE_CALLBACK keeps text whole). The first node
 * loaded, or null. Free with kova_xml_del. */
KOVA_API mxml_node_t *kova_xml_loadfd(mxml_node_t *top, int fd, mxml_load_cb_t cb);
/** mxmlGetFirstChild. */
KOVA_API mxml_node_t *kova_xml_getfirstchild(mxml_node_t *node);
/** mxmlGetNextSibling. */
KOVA_API mxml_node_t *kova_xml_getnextsibling(mxml_node_t *node);
/** mxmlElementGetAttr: the attribute's value, or null. */
KOVA_API const char *kova_xml_element_getattr(mxml_node_t *node, const char *name);
/** mxmlFindElement: the next element below `top` after `node` named `element` (any when null)
 * with attribute `attr` (equal to `value` when given); `descend` is MXML_DESCEND,
 * MXML_NO_DESCEND or MXML_DESCEND_FIRST. */
KOVA_API mxml_node_t *kova_xml_findelement(mxml_node_t *node, mxml_node_t *top, const char *element,
                                           const char *attr, const char *value, int descend);
/** mxmlFindPath: the node at "a/b/c" ("*" matches any element) below `node`. */
KOVA_API mxml_node_t *kova_xml_findpath(mxml_node_t *node, const char *path);
/** mxmlDelete: the node and everything below it. */
KOVA_API void kova_xml_del(mxml_node_t *node);

KOVA_EXTERN_C_END

#endif
