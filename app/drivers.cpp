#include "app/batch.h"
#include "export_shape/export_shape.h"
#include "export_tab/export_tab.h"

namespace quellmark {

BatchServices ProgramServices(const ArchiveLibrary& library, Notifier* notifier,
                              BatchObserver* observer, void* window) {
  return BatchServices{library, notifier, observer, window, &ExportTabTables, &ExportShapefiles};
}

}  // namespace quellmark
