# Sourced by the headless-script tests: `script PREFIX "STEPS"` prints the operator's actions of a
# bench run on card 317 (the linearity file of the source tree $src, the barcodes, the step
# switches named in STEPS on and the others off, the start button). The caller adds the rest.
script() {  # $1: report prefix, $2: steps on; the rest off
  echo "set TabBData.LinearityFile \"$src/data/Card_3_linearity.txt\""
  echo "set TabBData.BenchReportPrefix \"$1\""
  echo "commit Main.OpenTest"
  echo 'set TabBData.DeviceBarcode1 "VELTRA317"'
  echo 'set TabBData.DeviceBarcode2 "VELTRA-N317"'
  echo 'set TabBData.BoardBarcode "BRD-0000000000000317"'
  echo 'set TabBData.Otr1Barcode "OTR1-000000001"'
  echo 'set TabBData.Otr2Barcode "OTR2-000000002"'
  echo 'set TabBData.PcbVersion 7'
  for s in Enable10pA Enable200Counts EnableCrcLostFrame EnableTempOtrDac EnablePowerSupplies \
           EnableHvLevels EnableCalibrate EnableSaveDacValues EnableLinearity \
           EnableIntegratorLevel EnableCfcError EnableCfcTestMode EnableOtrReset \
           EnableDacCounters EnableLongTimeCrc; do
    case " $2 " in *" $s "*) echo "set TabBData.$s 1" ;; *) echo "set TabBData.$s 0" ;; esac
  done
  echo "commit Test.StartBench"
}
