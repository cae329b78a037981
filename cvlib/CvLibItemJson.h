#pragma once

// Inside the support library only (CvLibNav5.h does not gather it): the JSON fields of a product
// record, an install item and an item's file, named once for the backup index, which writes and
// reads them, and for the account service's answers, which bring them. Each side passes its own
// field visitor f, which for a JSON object o (const when reading) and a member of the record has
//   f.Int(o, key, int)  f.Str(o, key, QString)  f.Bool(o, key, bool)
//   f.Size(o, key, int64_t)      a 64-bit byte count
//   f.Version(o, key, uint32_t)  a packed version
// What only one side has stays with it: the index keeps an item's sourceFolder and its files
// array, the service sends a download url per file.

#include "CvLibChartCheck.h"

namespace cvlib::detail {

// Product and the others are the record types, const when writing.
template <typename Fields, typename Object, typename Product>
void ProductFields(Fields& f, Object& o, Product& p) {
  f.Int(o, "number", p.productNumber);
  f.Int(o, "kind", p.kind);
  f.Int(o, "group", p.group);
  f.Str(o, "displayName", p.displayName);
  f.Str(o, "itemTitle", p.itemTitle);
  f.Int(o, "moduleMask", p.moduleMask);
  f.Str(o, "registryKey", p.registryKey);
  f.Int(o, "revision", p.revision);
  f.Version(o, "latestVersion", p.latestVersion);
  f.Size(o, "size", p.size);
  f.Str(o, "installFolder", p.installFolder);
  f.Bool(o, "checked", p.checked);
}

// An item's own fields, without its files and its product record.
template <typename Fields, typename Object, typename Item>
void ItemFields(Fields& f, Object& o, Item& d) {
  f.Int(o, "product", d.productNumber);
  f.Int(o, "mask", d.moduleMask);
  f.Str(o, "productCode", d.productCode);
  f.Str(o, "productName", d.productName);
  f.Str(o, "moduleCode", d.moduleCode);
  f.Str(o, "moduleName", d.moduleName);
  f.Int(o, "revision", d.revision);
  f.Str(o, "installFolder", d.installFolder);
  f.Int(o, "status", d.status);
}

template <typename Fields, typename Object, typename File>
void FileFields(Fields& f, Object& o, File& file) {
  f.Str(o, "name", file.name);
  f.Str(o, "folder", file.folder);
  f.Size(o, "size", file.size);
  f.Int(o, "time", file.time);
  f.Bool(o, "addon", file.addOn);
  f.Str(o, "sha256", file.sha256);
}

// A program installs into destination + installFolder: it must stay below it.
inline bool ProductNamesSafe(const TProductData& p) { return IsSafeRelativeFolder(p.installFolder); }

// A file lands at destination + folder + name: both must keep it below the destination.
// Nor may it take the name of another file's part while it downloads.
inline bool FileStaysInside(const TItemFile& f) {
  return IsSafeFileName(f.name) && !IsDownloadPartName(f.name) && IsSafeRelativeFolder(f.folder);
}

// The names of an item that become folders: its install folder and, where given, its codes.
inline bool ItemNamesSafe(const TItemData& d) {
  return IsSafeRelativeFolder(d.installFolder) && (d.productCode.isEmpty() || IsSafeFileName(d.productCode)) &&
         (d.moduleCode.isEmpty() || IsSafeFileName(d.moduleCode));
}

}  // namespace cvlib::detail
