#!/usr/bin/python3
"""Tool: writes the driver package's catalog (.cat) before it is signed: a
PKCS #7 signed-data holding a certificate trust list with one member per
file of the package, as the platform's catalog tools write them (catalog
list format 1: each member tagged with its SHA-1 hash, the hash of a PE
image taken as Authenticode takes it, of any other file over all its bytes).
osslsigncode then adds the signature. Needs Debian's python3-asn1crypto.

  make_catalog.py OUT.cat HARDWARE_ID FILE...
  make_catalog.py --list CATALOG      one 'TAG FILE' line per member
"""
import datetime
import hashlib
import os
import struct
import sys

from asn1crypto import algos, cms, core, x509

OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
OID_MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"
# The subject interface packages that hash a member: PE images, flat files.
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
NAME_VALUE_FLAGS = 0x10010001  # attribute, readable, name-value
OBSOLETE = "<<<Obsolete>>>"


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any)]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class NameValue(core.Sequence):
    _fields = [("name", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class MemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class AnySet(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnySet)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes)]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class SubjectAlgorithm(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Null)]


class CertificateTrustList(core.Sequence):
    _fields = [
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString),
        ("this_update", core.UTCTime),
        ("subject_algorithm", SubjectAlgorithm),
        ("subjects", TrustedSubjects),
        ("extensions", x509.Extensions, {"explicit": 0}),
    ]


# PKCS #7 as catalogs use it: the content sits directly in [0], not in the
# octet string that CMS wraps it in.
class CtlContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", CertificateTrustList, {"explicit": 0})]


class SignedData(core.Sequence):
    _fields = [("version", core.Integer), ("digest_algorithms", cms.DigestAlgorithms),
               ("content_info", CtlContentInfo),
               ("certificates", cms.CertificateSet, {"implicit": 0, "optional": True}),
               ("crls", cms.RevocationInfoChoices, {"implicit": 1, "optional": True}),
               ("signer_infos", cms.SignerInfos)]


class ContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", SignedData, {"explicit": 0})]


def authenticode_sha1(data):
    """SHA-1 of a PE image without its checksum field, its certificate-table
    directory entry and the certificate table itself."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    checksum = optional + 64
    security_entry = optional + 112 + 8 * 4
    table_offset, table_size = struct.unpack_from("<II", data, security_entry)
    end = table_offset if table_size else len(data)
    h = hashlib.sha1()
    h.update(data[:checksum])
    h.update(data[checksum + 4:security_entry])
    h.update(data[security_entry + 8:end])
    return h.digest()


def name_value(name, text):
    return NameValue({"name": name, "flags": NAME_VALUE_FLAGS, "value": (text + "\0").encode("utf-16-le")})


def member(path):
    with open(path, "rb") as f:
        data = f.read()
    is_pe = data[:2] == b"MZ"
    digest = authenticode_sha1(data) if is_pe else hashlib.sha1(data).digest()
    obsolete = SpcLink({"file": SpcString({"unicode": OBSOLETE})})
    if is_pe:
        kind = SpcAttributeTypeAndOptionalValue(
            {"type": OID_PE_IMAGE_DATA, "value": SpcPeImageData({"flags": (), "file": obsolete})})
    else:
        kind = SpcAttributeTypeAndOptionalValue({"type": OID_FLAT_FILE_DATA, "value": obsolete})
    indirect = SpcIndirectDataContent({
        "data": kind,
        "message_digest": DigestInfo({"digest_algorithm": {"algorithm": "sha1", "parameters": core.Null()},
                                      "digest": digest}),
    })
    attributes = [
        Attribute({"type": OID_NAME_VALUE, "values": [name_value("File", os.path.basename(path))]}),
        Attribute({"type": OID_MEMBER_INFO,
                   "values": [MemberInfo({"subject_guid": SIP_PE if is_pe else SIP_FLAT, "cert_version": 512})]}),
        Attribute({"type": OID_INDIRECT_DATA, "values": [indirect]}),
    ]
    # The member's tag is its hash in upper-case hex, as a UTF-16 string.
    return TrustedSubject({"identifier": digest.hex().upper().encode("utf-16-le"), "attributes": attributes})


def catalog(hardware_id, paths):
    def extension(name, text):
        return {"extn_id": OID_NAME_VALUE, "critical": False,
                "extn_value": core.ParsableOctetString(name_value(name, text).dump())}

    ctl = CertificateTrustList({
        "subject_usage": [OID_CATALOG_LIST],
        "list_identifier": hashlib.md5("".join(sorted(paths)).encode()).digest(),
        "this_update": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0),
        "subject_algorithm": {"algorithm": OID_CATALOG_LIST_MEMBER, "parameters": core.Null()},
        "subjects": sorted((member(p) for p in paths), key=lambda s: s["identifier"].native),
        # Windows 10 and later, x64; the adapter's hardware id.
        "extensions": [extension("OSAttr", "2:10.0"), extension("HWID1", hardware_id.lower())],
    })
    signed = SignedData({
        "version": 1,
        "digest_algorithms": [{"algorithm": "sha1", "parameters": core.Null()}],
        "content_info": {"content_type": OID_CTL, "content": ctl},
        "signer_infos": [],
    })
    return ContentInfo({"content_type": "1.2.840.113549.1.7.2", "content": signed}).dump()


def list_members(data):
    signed = ContentInfo.load(data)["content"]
    for subject in signed["content_info"]["content"]["subjects"]:
        name = ""
        for attribute in subject["attributes"]:
            if attribute["type"].dotted == OID_NAME_VALUE:
                name = NameValue.load(attribute["values"][0].dump())["value"].native.decode("utf-16-le").rstrip("\0")
        print(subject["identifier"].native.decode("utf-16-le"), name)


def main(argv):
    if len(argv) == 3 and argv[1] == "--list":
        with open(argv[2], "rb") as f:
            list_members(f.read())
        return 0
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "wb") as f:
        f.write(catalog(argv[2], argv[3:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
