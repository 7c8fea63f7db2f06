#include "kova/kova_xml.h"

#include "init/kova_log.h"

KOVA_LOG_SOURCE("xml/kova_xml")

namespace {

// Mini-XML accepts a document that ends inside an element (a truncated file) and returns the
// part it read. The load runs through the SAX entry, which is mxmlLoadFd with a callback, so
// that the open elements can be counted: a document that ends with any open is refused.
struct LoadState {
    long open_elements = 0;
};

// A SAX load keeps only the nodes the callback retains: all are kept, as mxmlLoadFd keeps them.
void track(mxml_node_t *node, mxml_sax_event_t event, void *data)
{
    auto *state = static_cast<LoadState *>(data);
    if (event == MXML_SAX_ELEMENT_CLOSE) {
        --state->open_elements;
        return;
    }
    if (event == MXML_SAX_ELEMENT_OPEN) ++state->open_elements;
    mxmlRetain(node);
}

// The first node the load added: under `top`, the one after its previous last child.
mxml_node_t *first_added(mxml_node_t *top, mxml_node_t *last_before, mxml_node_t *result)
{
    if (top == nullptr) return result;
    return last_before == nullptr ? mxmlGetFirstChild(top) : mxmlGetNextSibling(last_before);
}

}  // namespace

extern "C" mxml_node_t *kova_xml_loadfd(mxml_node_t *top, int fd, mxml_load_cb_t cb)
{
    LoadState state;
    mxml_node_t *last_before = top != nullptr ? mxmlGetLastChild(top) : nullptr;
    mxml_node_t *result = mxmlSAXLoadFd(top, fd, cb, track, &state);
    if (result == nullptr) return nullptr;
    mxml_node_t *first = first_added(top, last_before, result);
    if (state.open_elements != 0) {
        KOVA_LOG(kova::log::kError, "Xml document ends inside %ld element(s).", state.open_elements);
        if (top == nullptr) {
            mxmlDelete(result);
        } else {
            while (first != nullptr) {
                mxml_node_t *next = mxmlGetNextSibling(first);
                mxmlDelete(first);
                first = next;
            }
        }
        return nullptr;
    }
    // Nodes the loader let go of hold the one reference a plain load gives; the others one more.
    for (mxml_node_t *n = first; n != nullptr; n = mxmlWalkNext(n, top, MXML_DESCEND))
        if (mxmlGetRefCount(n) > 1) mxmlRelease(n);
    return result;
}

extern "C" mxml_node_t *kova_xml_getfirstchild(mxml_node_t *node) { return mxmlGetFirstChild(node); }

extern "C" mxml_node_t *kova_xml_getnextsibling(mxml_node_t *node) { return mxmlGetNextSibling(node); }

extern "C" const char *kova_xml_element_getattr(mxml_node_t *node, const char *name) { return mxmlElementGetAttr(node, name); }

extern "C" mxml_node_t *kova_xml_findelement(mxml_node_t *node, mxml_node_t *top, const char *element, const char *attr,
                                             const char *value, int descend)
{
    return mxmlFindElement(node, top, element, attr, value, descend);
}

extern "C" mxml_node_t *kova_xml_findpath(mxml_node_t *node, const char *path) { return mxmlFindPath(node, path); }

extern "C" void kova_xml_del(mxml_node_t *node) { mxmlDelete(node); }
