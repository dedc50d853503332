#!/usr/bin/env python3
"""Tool: checks a driver package's INF against the rules the platform's INF
verifier holds universal driver packages to, and the ones this package keeps
for the installers it meets. Prints one line per broken rule and exits 1 when
any is broken, 0 (and 'ok') otherwise.

  infcheck.py FILE.inf
"""
import re
import sys

GUID = re.compile(r"^\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}$")
DRIVER_VER = re.compile(r"^\d{2}/\d{2}/\d{4},\d+\.\d+\.\d+\.\d+$")


def strip_comment(line):
    """The line without a comment: ';' outside double quotes starts one."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def parse(text):
    """{section name (lower case): [(key or None, [values], raw line)]}, in order."""
    sections, current, pending = {}, None, ""
    for raw in text.splitlines():
        line = pending + strip_comment(raw).strip()
        pending = ""
        if line.endswith("\\"):
            pending = line[:-1]
            continue
        if not line:
            continue
        if line.startswith("["):
            current = sections.setdefault(line[1:line.index("]")].strip().lower(), [])
            continue
        if current is None:
            continue
        key, value = (None, line)
        if "=" in line and not line.startswith('"'):
            key, value = line.split("=", 1)
            key = key.strip()
        values = [v.strip().strip('"') for v in value.split(",")]
        current.append((key, values, line))
    return sections


def value(sections, section, key):
    for k, values, _ in sections.get(section, []):
        if k is not None and k.lower() == key.lower():
            return ",".join(values)
    return None


def entries(sections, section, key):
    return [values for k, values, _ in sections.get(section, []) if k is not None and k.lower() == key.lower()]


def check(text):
    problems = []
    sections = parse(text)
    say = problems.append

    # [Version]
    if (value(sections, "version", "Signature") or "").lower() != "$windows nt$":
        say('Version: Signature must be "$Windows NT$"')
    for key in ("Class", "Provider", "CatalogFile"):
        if not value(sections, "version", key):
            say("Version: no %s" % key)
    if not GUID.match(value(sections, "version", "ClassGuid") or ""):
        say("Version: ClassGuid missing or not a GUID")
    if not DRIVER_VER.match((value(sections, "version", "DriverVer") or "").replace(" ", "")):
        say("Version: DriverVer must be MM/DD/YYYY,W.X.Y.Z")
    if value(sections, "version", "PnpLockdown") != "1":
        say("Version: PnpLockdown must be 1")

    # Manufacturer and models: decorated for x64, with a plain NTamd64 models
    # section (an installer that knows no OS-version suffix still finds it).
    manufacturers = [v for k, v, _ in sections.get("manufacturer", []) if k is not None]
    if not manufacturers:
        say("Manufacturer: no entries")
    installs = set()
    for values in manufacturers:
        models, decorations = values[0], [d.lower() for d in values[1:]]
        if "ntamd64" not in decorations:
            say("Manufacturer: %s is not decorated NTamd64" % models)
        model_section = (models + ".ntamd64").lower()
        if model_section not in sections:
            say("Manufacturer: no [%s.NTamd64] models section" % models)
        # Every models section of the manufacturer names installs to check.
        for name, lines in sections.items():
            if name == models.lower() or name.startswith(models.lower() + "."):
                installs.update(v[0].lower() for k, v, _ in lines if k is not None and v)
    if "defaultinstall" in sections or any(s.startswith("defaultinstall.") for s in sections):
        say("DefaultInstall beside a Manufacturer section")
    if any(s.startswith("classinstall32") for s in sections):
        say("ClassInstall32: a driver package installs no class")
    if any(".coinstallers" in s for s in sections) or re.search(r"coinstallers32", text, re.I):
        say("co-installers are not allowed")

    # DestinationDirs: everything runs from the driver store (DIRID 13).
    dirs = [(k, v) for k, v, _ in sections.get("destinationdirs", []) if k is not None]
    if not dirs:
        say("DestinationDirs: missing")
    for k, v in dirs:
        if v[0] != "13":
            say("DestinationDirs: %s is %s, not 13 (the driver store)" % (k, v[0]))

    # Services: one AddService with SPSVCINST_ASSOCSERVICE, a demand-start
    # kernel driver run from the driver store.
    add_services = []
    for install in installs:
        if install not in sections:
            say("no [%s] install section" % install)
        add_services += entries(sections, install + ".services", "AddService")
    if len(add_services) != 1:
        say("%d AddService directives, not one" % len(add_services))
    for service in add_services:
        flags = service[1] if len(service) > 1 else ""
        if not flags or int(flags, 0) != 0x2:
            say("AddService %s: flags %s, not 0x2 (the device's function driver)" % (service[0], flags or "none"))
        install = service[2].lower() if len(service) > 2 else ""
        expected = {"ServiceType": "1", "StartType": "3", "ErrorControl": "1"}
        for key, want in expected.items():
            got = value(sections, install, key)
            if got is None or int(got, 0) != int(want):
                say("service %s: %s is %s, not %s" % (service[0], key, got, want))
        binary = value(sections, install, "ServiceBinary") or ""
        if not binary.startswith("%13%\\"):
            say("service %s: ServiceBinary %s is not under %%13%%" % (service[0], binary or "missing"))
        # Driver package isolation: service values only under Parameters.
        for reg in (value(sections, install, "AddReg") or "").split(","):
            for _, values, line in sections.get(reg.strip().lower(), []):
                if values[0].upper() != "HKR" or not values[1].lower().startswith("parameters"):
                    say("service %s: %s writes outside the service's Parameters key" % (service[0], line))

    # No registry roots outside the device's and service's own keys.
    for name, lines in sections.items():
        for key, values, line in lines:
            if key is None and values and values[0].upper() in ("HKLM", "HKCU", "HKU", "HKCR"):
                say("[%s]: %s writes outside the package's own keys" % (name, line))

    # Every file copied is named in SourceDisksFiles, on a disk that exists.
    disks = {k for k, _, _ in sections.get("sourcedisksnames", []) if k is not None}
    sources = {k.lower(): v[0] for k, v, _ in sections.get("sourcedisksfiles", []) if k is not None}
    copied = set()
    for install in installs:
        for lists in entries(sections, install, "CopyFiles"):
            for name in lists:
                for key, values, _ in sections.get(name.lower(), []):
                    copied.add((key if key is not None else values[0]).lower())
    for name in sorted(copied):
        if name not in sources:
            say("SourceDisksFiles: %s is copied but not listed" % name)
    for name, disk in sources.items():
        if disk not in disks:
            say("SourceDisksFiles: %s is on disk %s, which SourceDisksNames lacks" % (name, disk))

    # Every %string% is defined (DIRIDs are numbers; %% is a literal percent).
    strings = {k.lower() for k, _, _ in sections.get("strings", []) if k is not None}
    for token in sorted(set(re.findall(r"%([^%\s]*)%", text))):
        if token and not token.isdigit() and token.lower() not in strings:
            say("Strings: %%%s%% is not defined" % token)
    return problems


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="utf-8-sig") as f:
        problems = check(f.read())
    for problem in problems:
        print("%s: %s" % (argv[1], problem))
    if not problems:
        print("ok: %s" % argv[1])
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
