#include "ListCtrl.h"

#include "StringTable.h"
#include "TextFormat.h"

namespace vlmapp {

void ListCtrl::InitColumns() {
  mView.InitListColumns({{LoadText(IDS_COLUMN_VENDOR_PRODUCT), 380}, {LoadText(IDS_COLUMN_SERIAL_NUMBER), 240}});
}

void ListCtrl::AddDevice(uint32_t index, const VLMUFWDL_DEVICE_INFO& info) {
  ListRow row;
  row.itemData = index;
  row.text[0] = FormatText("%04u / %04u", {info.VendorId, info.ProductId});
  row.text[1] = FormatText("%S", {Utf16ToUtf8(info.SerialNumber, VLMUFWDL_SERIAL_NUMBER_CHARS)});
  mRows.push_back(std::move(row));
  mView.ShowListRows(mRows);
  if (mSelected >= 0) mView.SelectListRow(mSelected);
}

void ListCtrl::AddNoDeviceEntry(uint32_t textId) {
  ListRow row;
  row.itemData = kNoDeviceItemData;
  row.text[0] = LoadText(textId);
  mRows.insert(mRows.begin(), std::move(row));
  if (mSelected >= 0) ++mSelected;
  mView.ShowListRows(mRows);
  if (mSelected >= 0) mView.SelectListRow(mSelected);
}

void ListCtrl::DeleteAllItems() {
  mRows.clear();
  mSelected = -1;
  mView.ShowListRows(mRows);
}

void ListCtrl::SetSelectedRow(int row) {
  mSelected = (row >= 0 && static_cast<size_t>(row) < mRows.size()) ? row : -1;
  mView.SelectListRow(mSelected);
}

bool ListCtrl::OnSelectionChanged(int row) {
  const int now = (row >= 0 && static_cast<size_t>(row) < mRows.size()) ? row : -1;
  if (now == mSelected) return false;
  mSelected = now;
  return true;
}

}  // namespace vlmapp
