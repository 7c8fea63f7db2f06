// Who hears of objects that kova_dlopen loads and kova_dlclose unloads: the symbol resolver
// registers its refresh here when it starts, so that stack dumps name the new object's symbols.
#pragma once

namespace kova::bitops {

using ObjectsChangedHook = void (*)();

// A null hook stops the notifications.
void set_objects_changed_hook(ObjectsChangedHook hook);

}  // namespace kova::bitops
