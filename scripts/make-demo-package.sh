#!/bin/sh
# Makes the demo package in OUTDIR (a configuration directory) with vardel-pack and the keys the
# build uses: a terminal picture, a title and an HTML description, two batches of files, and an
# hterm that matches the simulated terminal (catalogue code 00 2A 01).
# Usage: scripts/make-demo-package.sh BUILD_DIR OUTDIR
set -eu
build=$1
out=$2
pack="$build/vardel-pack"
root=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Plain content of the files; what the terminal receives is checked against it by the tests.
yes "MIRANDOL 2.2.1 agent de reception" | head -c 4100 > "$work/MIRANDOL.AGN"
yes "PAIEMENT 2.2.1 application de paiement" | head -c 7300 > "$work/PAIEMENT.BIN"
yes "EMV parametres" | head -c 1500 > "$work/EMV.PAR"
yes "TELEPARAMETRAGE" | head -c 900 > "$work/TELEPAR.CFG"
# Hardware configuration: bytes 8 to 10 carry the catalogue code.
printf '\000\000\000\000\000\000\000\000\000\052\001DEMO' > "$work/hterm"

for f in MIRANDOL.AGN PAIEMENT.BIN EMV.PAR TELEPAR.CFG; do
    "$pack" seal "$work/$f" "$out/$(echo "$f" | tr 'A-Z' 'a-z')"
done
"$pack" seal "$work/hterm" "$out/terminal.hterm"
cp "$root/demo/terminal.png" "$out/terminal.png"

cat > "$out/configuration.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <terminal>
    <name>Iris</name>
    <code>IR5</code>
    <image>terminal.png</image>
    <delayReboot>0</delayReboot>
  </terminal>
  <operation>
    <title>Mise à jour 2.2.1 du terminal Iris</title>
    <description><![CDATA[<html><body><p>Cette mise à jour installe la version <b>2.2.1</b> de l'application de paiement et de ses paramètres.</p><p>Laissez le terminal branché jusqu'à la fin de l'installation.</p></body></html>]]></description>
  </operation>
  <hterm>terminal.hterm</hterm>
  <batch id="1">
    <file>mirandol.agn</file>
    <file>paiement.bin</file>
  </batch>
  <batch id="2">
    <file>emv.par</file>
    <file>telepar.cfg</file>
  </batch>
</configuration>
XML
"$pack" sign "$out/configuration.xml"
"$pack" verify "$out"
