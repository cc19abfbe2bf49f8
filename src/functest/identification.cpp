#include "functest/identification.h"

#include "ctl/test_panel.h"
#include "functest/report.h"
#include "rt/scan.h"

namespace functest {

int DeviceNumberFromBarcode(const std::string &text, size_t from) {
  return rt::scanIntAt(text, from);
}

std::string BarcodeText(rt::Runtime &rt, int page, int ctrl) {
  return rt.GetCtrlValS(page, ctrl).substr(0, kBarcodeChars);
}

int CheckIdentifications(TestContext &t) {
  namespace B = ctl::TabBData;
  const int page = t.p.TabBData;
  t.log(" ");
  t.log("IDENTIFICATION BARCODES");
  t.log(kDashes60);
  for (rt::Ctl c :
       {B::DeviceBarcode1, B::DeviceBarcode2, B::BoardBarcode, B::Otr1Barcode, B::Otr2Barcode})
    t.log(BarcodeText(t.rt, page, c));
  t.log("   ");
  return 100;
}

}  // namespace functest
