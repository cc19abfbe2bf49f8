#include "functest/identification.h"

#include "ctl/test_panel.h"
#include "functest/report.h"
#include "rt/format.h"
#include "rt/scan.h"

namespace functest {

int DeviceNumberFromBarcode(const std::string &text, size_t from) {
  return rt::scanIntAt(text, from);
}

std::string BarcodeText(rt::Runtime &rt, int page, int ctrl) {
  return rt.GetCtrlValS(page, ctrl).substr(0, kBarcodeChars);
}

namespace {

namespace B = ctl::TabBData;

constexpr const char *kDeviceMismatch =
    "The Device number (%d) does not correspond to the one sended by the FPGA (%d)";

std::string characters(size_t n) {
  return n == 1 ? "1 character" : std::to_string(n) + " characters";
}

// A label's length against the one the start accepts.
std::optional<IdProblem> lengthProblem(const std::string &text, size_t length, int field,
                                       const char *title) {
  if (text.size() == length) return std::nullopt;
  return IdProblem{field, title, characters(length), characters(text.size())};
}

std::string numberRead(const std::string &text, size_t from) {
  if (text.size() <= from) return "no number (the label has " + characters(text.size()) + ")";
  return std::to_string(DeviceNumberFromBarcode(text, from));
}

}  // namespace

std::string IdProblem::line() const { return title + ": expected " + expected + ", read " + read; }

std::optional<IdProblem> CheckBarcodeField(rt::Runtime &rt, int page, int field, int cardNumber) {
  const std::string text = field ? BarcodeText(rt, page, field) : std::string();
  if (field == B::DeviceBarcode1.id || field == B::DeviceBarcode2.id) {
    const size_t from = field == B::DeviceBarcode1.id ? 6 : 8;
    const int dn = DeviceNumberFromBarcode(text, from);
    if (dn == cardNumber) return std::nullopt;
    return IdProblem{
        field, rt::format(kDeviceMismatch, dn, cardNumber),
        rt::format("the board's device number %d from character %zu on", cardNumber, from + 1),
        numberRead(text, from)};
  }
  if (field == B::BoardBarcode.id)
    return lengthProblem(text, 20, field, "Board number not correct");
  if (field == B::Otr1Barcode.id) return lengthProblem(text, 14, field, "OTR1 number not correct");
  if (field == B::Otr2Barcode.id) return lengthProblem(text, 14, field, "OTR2 number not correct");
  return std::nullopt;
}

int NextIdentificationField(int field) {
  if (field == B::DeviceBarcode1.id) return B::DeviceBarcode2.id;
  if (field == B::DeviceBarcode2.id) return B::BoardBarcode.id;
  if (field == B::BoardBarcode.id) return B::Otr1Barcode.id;
  if (field == B::Otr1Barcode.id) return B::Otr2Barcode.id;
  if (field == B::Otr2Barcode.id) return B::PcbVersion.id;
  return 0;
}

std::vector<IdProblem> BenchIdentificationProblems(rt::Runtime &rt, int page, int cardNumber) {
  std::vector<IdProblem> problems;
  const std::string label1 = BarcodeText(rt, page, B::DeviceBarcode1);
  const std::string label2 = BarcodeText(rt, page, B::DeviceBarcode2);
  const int dn1 = DeviceNumberFromBarcode(label1, 6);
  const int dn2 = DeviceNumberFromBarcode(label2, 8);
  if (dn1 != cardNumber || dn2 != cardNumber || dn2 != dn1) {
    // One message for the two labels, as the start has it; the detail names the label at fault.
    IdProblem p{dn1 != cardNumber ? B::DeviceBarcode1.id : B::DeviceBarcode2.id,
                rt::format(kDeviceMismatch, dn1, cardNumber),
                rt::format("%d on both device labels", cardNumber),
                "first label " + numberRead(label1, 6) + ", second label " + numberRead(label2, 8)};
    problems.push_back(std::move(p));
  }
  for (rt::Ctl c : {B::BoardBarcode, B::Otr1Barcode, B::Otr2Barcode})
    if (auto p = CheckBarcodeField(rt, page, c.id, cardNumber)) problems.push_back(std::move(*p));
  const int pcb = rt.GetCtrlValI(page, B::PcbVersion);
  if (pcb < 6 || pcb > 8)
    problems.push_back(IdProblem{B::PcbVersion.id, "The PCB version NVB-31207-Vx is not correct",
                                 "6, 7 or 8", std::to_string(pcb)});
  return problems;
}

int CheckIdentifications(TestContext &t) {
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
