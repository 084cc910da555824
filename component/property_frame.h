#pragma once
// The property frame: a dialog with one tab per property page of an object, each page
// created by class id through the registry, as any container would show it.
#include <string>
#include <vector>

#include "component/com.h"

class QDialog;

namespace zevo::com {

// Creates the frame (not shown) with the pages that could be created; null when none
// could. The dialog holds the pages and releases them when it is destroyed; it deletes
// itself when closed.
QDialog* CreatePropertyFrame(QWidget* owner, const std::string& caption, IUnknown* object,
                             const std::vector<GUID>& pages);

}  // namespace zevo::com
