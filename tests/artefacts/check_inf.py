#!/usr/bin/env python3
"""Checks VantriCamera.inf: its sections are complete and consistent with
each other, with the driver's descriptor and with the built .sys.

Usage: check_inf.py <VantriCamera.inf> [<expected.txt>]

expected.txt (default: next to this script) names what the INF must agree
with, one "key value" a line:
  sys <file name>                       the built driver binary
  sys-cmake <file> <variable>           where the kernel build names it
  hardware-id <id>                      the root-enumerated device's id
  reference-string <string>             the filter factory's reference string
  friendly-name <string>                the name on every interface
  category <{GUID}>                     one per filter category
  descriptor-categories <file> <array>  the driver source holding the categories
  descriptor-reference <file> <name>    the driver source holding the reference string
  guid-headers <file>...                headers defining the STATIC_ GUID initialisers
Paths are relative to the repository root.

Prints one line per check and "N passed, M failed"; exits 0 only if all pass.
"""
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Setup classes a camera may install under, with their class GUIDs.
CLASS_GUIDS = {
    "camera": "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}",
    "image": "{6bdd1fc6-810f-11d0-bec7-08002be2092f}",
}
# The kernel streaming proxy every capture interface names as its CLSID.
KS_PROXY_CLSID = "{17cca71b-ecd7-11d0-b908-00a0c9223196}"
SPSVCINST_ASSOCSERVICE = 0x2

# ---- reporting -------------------------------------------------------------------
results = []


def check(ok, description, detail=""):
    results.append(ok)
    if ok:
        print(f"ok   {description}")
    else:
        print(f"FAIL {description}" + (f": {detail}" if detail else ""))
    return ok


# ---- INF parsing -------------------------------------------------------------------
def split_outside_quotes(text, separator):
    """Splits at separator characters that are not inside double quotes."""
    parts, current, quoted = [], [], False
    for char in text:
        if char == '"':
            quoted = not quoted
        if char == separator and not quoted:
            parts.append("".join(current))
            current = []
        else:
            current.append(char)
    parts.append("".join(current))
    return parts


def strip_comment(line):
    quoted = False
    for index, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:index]
    return line


class Inf:
    def __init__(self, path):
        raw = open(path, "rb").read()
        if raw.startswith(b"\xff\xfe"):
            text = raw[2:].decode("utf-16-le")
        else:
            text = raw.decode("utf-8-sig")
        # section name (lower case) -> list of (key or None, value text, line number)
        self.sections = {}
        self.names = {}  # lower -> as written
        self.order = []
        current = None
        pending = ""
        for number, line in enumerate(text.splitlines(), 1):
            line = strip_comment(line).rstrip()
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line = (pending + line).strip()
            pending = ""
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                name = header.group(1).strip()
                current = name.lower()
                self.names.setdefault(current, name)
                if current not in self.sections:
                    self.sections[current] = []
                    self.order.append(current)
                continue
            if current is None:
                raise ValueError(f"line {number}: text outside any section")
            parts = split_outside_quotes(line, "=")
            if len(parts) > 1:
                key, value = parts[0].strip(), "=".join(parts[1:]).strip()
            else:
                key, value = None, line
            self.sections[current].append((key, value, number))
        strings = self.sections.get("strings", [])
        self.strings = {key.lower(): unquote(value) for key, value, _ in strings if key}

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        """Every value of key in section (keys are case-insensitive)."""
        return [v for k, v, _ in self.entries(section) if k and k.lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0] if found else None

    def expand(self, text):
        """Substitutes %strkey% tokens; %N% (a directory id) stays as it is."""

        def replace(match):
            token = match.group(1)
            if token == "":
                return "%"
            if token.isdigit():
                return match.group(0)
            return self.strings.get(token.lower(), match.group(0))

        return re.sub(r"%([^%]*)%", replace, text)

    def fields(self, text):
        return [unquote(self.expand(field.strip())) for field in split_outside_quotes(text, ",")]


def unquote(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
        return text[1:-1]
    return text


def guid_key(text):
    return text.strip().strip("{}").lower()


# ---- expected values and the driver's descriptor ----------------------------------
def read_expected(path):
    expected = {"category": []}
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        key, _, value = line.partition(" ")
        if key == "category":
            expected["category"].append(value.strip())
        else:
            expected[key] = value.strip()
    return expected


def static_guids(header_paths):
    """STATIC_<name> initialisers of the headers, as "{XXXXXXXX-...}" strings."""
    guids = {}
    for path in header_paths:
        text = open(path, encoding="utf-8", errors="replace").read().replace("\\\n", " ")
        for match in re.finditer(r"#define\s+STATIC_(\w+)\s+([^\n]+)", text):
            numbers = [n.strip() for n in match.group(2).split(",")]
            if len(numbers) != 11:
                continue
            try:
                values = [int(n.rstrip("lLuU"), 16) for n in numbers]
            except ValueError:
                continue
            guids.setdefault(
                match.group(1),
                "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}" % tuple(values),
            )
    return guids


def descriptor_categories(source, array, guids):
    text = open(source, encoding="utf-8").read()
    match = re.search(re.escape(array) + r"\s*\[[^\]]*\]\s*=\s*\{(.*?)\};", text, re.S)
    if not match:
        return None, f"no initialiser of {array} in {source}"
    names = re.findall(r"STATIC_(\w+)", match.group(1))
    unknown = [n for n in names if n not in guids]
    if not names or unknown:
        return None, f"cannot resolve {unknown or 'any category'} of {array}"
    return [guids[n] for n in names], ""


def descriptor_string(source, name):
    text = open(source, encoding="utf-8").read()
    match = re.search(re.escape(name) + r'\s*\[[^\]]*\]\s*=\s*\w*\(?\s*u?L?"([^"]*)"', text)
    return match.group(1) if match else None


def cmake_variable(path, variable):
    text = open(path, encoding="utf-8").read()
    match = re.search(r"set\(\s*" + re.escape(variable) + r"\s+([^\s)]+)\s*\)", text)
    return match.group(1) if match else None


# ---- the checks -------------------------------------------------------------------------
def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    inf_path = sys.argv[1]
    expected_path = (
        sys.argv[2]
        if len(sys.argv) == 3
        else os.path.join(os.path.dirname(os.path.abspath(__file__)), "expected.txt")
    )
    try:
        inf = Inf(inf_path)
    except (OSError, ValueError, UnicodeDecodeError) as error:
        print(f"FAIL {inf_path} cannot be read: {error}")
        print("0 passed, 1 failed")
        return 1
    expected = read_expected(expected_path)
    sys_name = expected.get("sys", "")
    referenced = {"version", "strings", "manufacturer", "sourcedisksnames", "sourcedisksfiles",
                  "destinationdirs"}

    def section_exists(name, what):
        referenced.add(name.lower())
        return check(inf.has(name), f"section [{name}] ({what}) exists")

    # Version.
    signature = unquote(inf.value("Version", "Signature") or "")
    check(signature.lower() in ("$windows nt$", "$chicago$"), "[Version] Signature is $WINDOWS NT$",
          f"'{signature}'")
    setup_class = (inf.value("Version", "Class") or "").strip()
    class_guid = (inf.value("Version", "ClassGuid") or "").strip()
    check(CLASS_GUIDS.get(setup_class.lower()) == class_guid.lower(),
          f"[Version] Class {setup_class} with its class GUID",
          f"ClassGuid {class_guid or 'missing'}, expected "
          f"{CLASS_GUIDS.get(setup_class.lower(), 'a camera or image class')}")
    check(bool(inf.value("Version", "Provider")), "[Version] names a Provider")
    driver_ver = inf.value("Version", "DriverVer") or ""
    check(re.fullmatch(r"\d{2}/\d{2}/\d{4},\d+\.\d+\.\d+\.\d+", driver_ver.replace(" ", "")) is not None,
          "[Version] DriverVer is mm/dd/yyyy,w.x.y.z", f"'{driver_ver}'")
    check(bool(inf.value("Version", "CatalogFile")), "[Version] names a CatalogFile (for signing)")

    # Every %string% used is defined.
    undefined = set()
    for name in inf.order:
        for key, value, number in inf.entries(name):
            for token in re.findall(r"%([^%]+)%", (key or "") + " " + value):
                if not token.isdigit() and token.lower() not in inf.strings:
                    undefined.add(f"%{token}% (line {number})")
    check(not undefined, "every %string% used is defined in [Strings]", ", ".join(sorted(undefined)))

    # Manufacturer -> models (x64 decoration) -> install section.
    models = []
    for key, value, _ in inf.entries("Manufacturer"):
        fields = inf.fields(value)
        base, decorations = fields[0], fields[1:]
        check(any(d.lower().startswith("ntamd64") for d in decorations),
              f"manufacturer {inf.expand(key or '')} has an NTamd64 models section",
              f"decorations {decorations}")
        for decoration in decorations:
            model = f"{base}.{decoration}"
            if section_exists(model, "models"):
                models.append(model)
    check(bool(models), "[Manufacturer] lists at least one models section")

    install = None
    devices = [(inf.expand(k or ""), inf.fields(v)) for m in models for k, v, _ in inf.entries(m)]
    hardware_ids = [f[1].lower() for _, f in devices if len(f) > 1]
    wanted_id = expected.get("hardware-id", "")
    check(wanted_id.lower() in hardware_ids and wanted_id.lower().startswith("root\\"),
          f"a root-enumerated device {wanted_id} is installed", f"hardware ids {hardware_ids}")
    for description, fields in devices:
        if len(fields) > 1 and fields[1].lower() == wanted_id.lower():
            check(bool(description) and "%" not in description, "the device has a description")
            for candidate in (f"{fields[0]}.NTamd64", f"{fields[0]}.NT", fields[0]):
                if inf.has(candidate):
                    install = inf.names[candidate.lower()]
                    break
            section_exists(install or f"{fields[0]}.NT", "install")
    if install is None:
        print(f"{sum(results)} passed, {len(results) - sum(results)} failed")
        return 1

    # Install section: the class library's registration, the copied files.
    includes = [f.lower() for v in inf.values(install, "Include") for f in inf.fields(v)]
    needs = [f.lower() for v in inf.values(install, "Needs") for f in inf.fields(v)]
    check({"ks.inf", "kscaptur.inf"} <= set(includes),
          f"[{install}] includes ks.inf and kscaptur.inf", f"Include {includes}")
    check({"ks.registration", "kscaptur.registration.nt"} <= set(needs),
          f"[{install}] needs KS.Registration and KSCAPTUR.Registration.NT", f"Needs {needs}")

    destination_default = inf.value("DestinationDirs", "DefaultDestDir")
    disks = {k.strip() for k, _, _ in inf.entries("SourceDisksNames") if k}
    source_files = {}
    for key, value, _ in inf.entries("SourceDisksFiles"):
        if key:
            source_files[key.strip().lower()] = inf.fields(value)[0] if value else ""
    copied = {}  # file name (lower) -> destination dirid
    for copy_list in (f for v in inf.values(install, "CopyFiles") for f in inf.fields(v)):
        if copy_list.startswith("@"):
            names = [copy_list[1:]]
            destination = destination_default
        else:
            if not section_exists(copy_list, "CopyFiles"):
                continue
            names = [inf.fields(v)[0] for _, v, _ in inf.entries(copy_list)]
            destination = inf.value("DestinationDirs", copy_list) or destination_default
        check(destination is not None, f"CopyFiles {copy_list} has a destination directory",
              "no DestinationDirs entry and no DefaultDestDir")
        for name in names:
            disk = source_files.get(name.lower())
            check(disk is not None and disk in disks,
                  f"{name} is in [SourceDisksFiles] on a disk of [SourceDisksNames]",
                  f"disk {disk!r}, disks {sorted(disks)}")
            copied[name.lower()] = (destination or "").split(",")[0].strip()
    check(sys_name.lower() in copied, f"{sys_name} is copied", f"copied {sorted(copied)}")

    # Service.
    services = f"{install}.Services"
    service_install = None
    if section_exists(services, "services"):
        for value in inf.values(services, "AddService"):
            fields = inf.fields(value)
            flags = int(fields[1], 0) if len(fields) > 1 and fields[1] else 0
            check(bool(flags & SPSVCINST_ASSOCSERVICE),
                  f"service {fields[0]} is the device's function driver (flag 0x2)", f"flags {flags:#x}")
            if len(fields) > 2 and section_exists(fields[2], "service install"):
                service_install = fields[2]
    if service_install:
        for key, want in (("ServiceType", 1), ("StartType", 3), ("ErrorControl", 1)):
            got = inf.value(service_install, key)
            check(got is not None and int(got, 0) == want, f"{key} is {want}", f"{key} {got}")
        binary = inf.expand(inf.value(service_install, "ServiceBinary") or "")
        match = re.fullmatch(r"%(\d+)%\\(.+)", binary)
        check(match is not None and match.group(2).lower() == sys_name.lower(),
              f"ServiceBinary is the built {sys_name}", f"ServiceBinary '{binary}'")
        if match:
            check(copied.get(match.group(2).lower()) == match.group(1),
                  f"ServiceBinary's directory %{match.group(1)}% is where the file is copied",
                  f"copied to {copied.get(match.group(2).lower())}")

    # Device interfaces: categories, reference string, friendly name.
    interfaces = f"{install}.Interfaces"
    if section_exists(interfaces, "interfaces"):
        added = [inf.fields(v) for v in inf.values(interfaces, "AddInterface")]
        got = sorted(guid_key(f[0]) for f in added)
        want = sorted(guid_key(g) for g in expected["category"])
        check(got == want, "the interfaces' categories are exactly the filter's categories",
              f"INF {got}, filter {want}")
        reference = expected.get("reference-string", "")
        for fields in added:
            category = fields[0]
            check(len(fields) > 1 and fields[1] == reference,
                  f"interface {category} has the reference string \"{reference}\"",
                  f"'{fields[1] if len(fields) > 1 else ''}'")
            if len(fields) < 3 or not fields[2]:
                check(False, f"interface {category} has an install section")
                continue
            if not section_exists(fields[2], "interface install"):
                continue
            registry = {}
            for add_reg in (f for v in inf.values(fields[2], "AddReg") for f in inf.fields(v)):
                if section_exists(add_reg, "AddReg"):
                    for _, value, _ in inf.entries(add_reg):
                        entry = inf.fields(value)
                        if len(entry) >= 5 and entry[0].upper() == "HKR":
                            registry[entry[2].lower()] = entry[4]
            friendly = expected.get("friendly-name", "")
            check(registry.get("friendlyname") == friendly,
                  f"interface {category} is named \"{friendly}\"",
                  f"FriendlyName {registry.get('friendlyname')!r}")
            check(guid_key(registry.get("clsid", "")) == guid_key(KS_PROXY_CLSID),
                  f"interface {category} names the kernel streaming proxy as its CLSID",
                  f"CLSID {registry.get('clsid')!r}")

    unused = [inf.names[s] for s in inf.order if s not in referenced]
    check(not unused, "every section is used", ", ".join(unused))

    # The expected values themselves agree with the driver and the build.
    if "sys-cmake" in expected:
        path, variable = expected["sys-cmake"].split()
        built = cmake_variable(os.path.join(REPO, path), variable)
        check(built is not None and built.lower() == sys_name.lower(),
              f"the kernel build links {sys_name} ({path} {variable})", f"it links {built}")
    if "descriptor-categories" in expected:
        path, array = expected["descriptor-categories"].split()
        headers = [os.path.join(REPO, h) if not os.path.isabs(h) else h
                   for h in expected.get("guid-headers", "").split()]
        categories, problem = descriptor_categories(os.path.join(REPO, path), array, static_guids(headers))
        check(categories is not None
              and sorted(guid_key(g) for g in categories) == sorted(guid_key(g) for g in expected["category"]),
              f"the filter's categories in {path} ({array}) are the expected ones",
              problem or f"descriptor {categories}")
    if "descriptor-reference" in expected:
        path, name = expected["descriptor-reference"].split()
        reference = descriptor_string(os.path.join(REPO, path), name)
        check(reference == expected.get("reference-string"),
              f"the filter factory's reference string in {path} ({name}) is the expected one",
              f"descriptor {reference!r}")

    passed = sum(results)
    print(f"{passed} passed, {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
