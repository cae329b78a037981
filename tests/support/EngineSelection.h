#pragma once

// A selection for the chart-check engine, made as the product page makes it: one entry per
// (product number, module mask). Header only: the test support library itself does not link
// the support library.

#include "CvLib.h"

#include <memory>
#include <utility>
#include <vector>

namespace cvtest {

enum class SelectionKinds {
  kDefault,      // entries keep the default kind
  kFromRecords,  // each entry takes the kind of its product record, where the engine has one
};

inline std::unique_ptr<SelectionList> MakeSelection(const ChartCheck& check,
                                                    const std::vector<std::pair<int, int>>& selection,
                                                    SelectionKinds kinds) {
  auto list = check.NewSelectionList();
  for (auto [product, mask] : selection) {
    auto entry = check.NewSelectionEntry();
    entry->SetProductNumber(product);
    entry->SetModuleMask(mask);
    if (kinds == SelectionKinds::kFromRecords)
      if (const ProductRecord* p = check.FindProductRecord(product, mask)) entry->SetKind(p->Kind());
    list->Add(std::move(entry));
  }
  return list;
}

}  // namespace cvtest
