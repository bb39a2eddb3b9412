#pragma once
// The device list of the main dialog: its rows with their item data (the
// device index, or kNoDeviceItemData for the placeholder row) and the one
// selected row. Every change is shown through the main dialog's view.
#include <cstdint>
#include <string>
#include <vector>

#include "DialogViews.h"
#include "vlmufwdl.h"

namespace vlmapp {

inline constexpr uint32_t kNoDeviceItemData = 0xFFFFFFFFu;

class ListCtrl {
 public:
  explicit ListCtrl(MainDialogView& view) : mView(view) {}

  // The two columns: "Vendor/Product ID" 380 pixels, "Serial Number" 240 pixels.
  void InitColumns();
  // Appends the row of device `index`: "%04u / %04u" of the vendor and product
  // ids, and the serial number.
  void AddDevice(uint32_t index, const VLMUFWDL_DEVICE_INFO& info);
  // Inserts the placeholder row (item data kNoDeviceItemData) at the top.
  void AddNoDeviceEntry(uint32_t textId);
  void DeleteAllItems();

  void SetSelectedRow(int row);  // -1: none; a row past the end selects nothing
  // The view reports the user's selection; true when it changed.
  bool OnSelectionChanged(int row);
  int SelectedRow() const { return mSelected; }

  const std::vector<ListRow>& Rows() const { return mRows; }

 private:
  MainDialogView& mView;
  std::vector<ListRow> mRows;
  int mSelected = -1;
};

}  // namespace vlmapp
