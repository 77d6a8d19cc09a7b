// The one conversion loop: a sheet's layer set, layer by layer in catalogue
// order, into the tables of an output format.
#pragma once

#include <string>

#include "convert/output_format.h"
#include "convert/sheet.h"
#include "sal/layer_set.h"

namespace quellmark {

// Converts a layer set (".slm", ".slp", "MH.slp", layer code + ".sal"; the
// list files "_HA.txt" ... are written and read at its prefix) into
// `format`'s tables at `target`, or into the context's destination when it
// has one. Clears the sheet's station table, then loads its coordinates; a
// sheet with neither point file yields nothing. With the target's
// datum.to_jgd2000 every point is then moved from the Tokyo datum onto
// JGD2000 (the operation goes to datum_moved). A layer whose input does not
// open is skipped. Data problems go to the context's notifier, each with
// its file and line.
//
// Throws InputError (the layer set cannot be read: a missing ".slm", a read
// error) and OutputError (a table or list file cannot be written); the table
// being written then leaves no files behind, earlier tables stay and later
// layers are not converted. Sheets may be converted at the same time on
// different threads, each with its own SheetState.
void ConvertSheet(const LayerSet& layer_set, const SheetTarget& target, const OutputFormat& format,
                  ExportContext& context);
// The same for the layer set whose files are exactly sheet_prefix + suffix,
// into the tables named output_prefix + layer code, declaring `datum`.
void ConvertSheet(const std::string& sheet_prefix, const std::string& output_prefix,
                  const OutputFormat& format, ExportContext& context, const DatumRule& datum = {});

}  // namespace quellmark
