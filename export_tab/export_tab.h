// MapInfo TAB export of one map sheet: one table per layer, written beside
// the archive as output prefix + layer code + ".tab".
#pragma once

#include <string>

#include "sal/sheet.h"

namespace quellmark {

// Converts the layer set at `sheet_prefix` (sheet prefix + ".slm", ".slp",
// "MH.slp", layer code + ".sal", ...) into the seventeen tables, layer by
// layer in the fixed order CM, KJ, KS, KK, SK, GK, GD, KO, MH, TS, TK, EK, DK,
// DS, HA, TO, YO. A sheet without point files yields nothing; a layer without
// its file is skipped. Data problems go to the context's notifier.
//
// Throws InputError (a layer set that cannot be read) and OutputError (a
// table or list file that cannot be written); a layer left midway by an
// error has its table files removed, the tables of earlier layers stay.
// Conversions of different sheets may run at the same time on different
// threads, each with its own SheetState.
void ExportTabTables(const std::string& sheet_prefix, const std::string& output_prefix,
                     ExportContext& context);

}  // namespace quellmark
