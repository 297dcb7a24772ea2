"""The custom XML part in which a workbook file keeps its Python: modules, packages, settings.

A spreadsheet document keeps an add-in's data in a part of its own: ``customXml/itemN.xml``,
with its properties part ``customXml/itemPropsN.xml`` (naming the data's namespace), a
relationship from the workbook part and a content type. Ours is found by the namespace of its
root element, never by its number, so parts that other add-ins keep are left alone.

The part holds::

    <quorvel:workbook xmlns:quorvel="urn:quorvel:workbook:1" journal="..." records="N">
      <quorvel:module name="calc" encoding="text">def f(): ...</quorvel:module>
      <quorvel:module name="odd" encoding="base64">...</quorvel:module>
      <quorvel:packages encoding="json">[...]</quorvel:packages>
      <quorvel:setting name="timers" encoding="json">...</quorvel:setting>
    </quorvel:workbook>

A module's source is stored as text when XML carries it unchanged (XML turns carriage returns
into line feeds and cannot hold most control characters or lone surrogates); otherwise as the
base64 of its UTF-8 bytes (surrogates passed through), so that every source comes back
identical. `journal` and `records` say which changes of the workbook's journal the file holds.

No file I/O here: bytes in, bytes out (see ``workbook_file`` for the files).
"""

from __future__ import annotations

import base64
import io
import json
import keyword
import posixpath
import re
import uuid
import xml.etree.ElementTree as ET
import zipfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

__all__ = ["NAMESPACE", "PartContents", "WorkbookFormatError", "check_module_name",
           "decode_part", "encode_part", "find_part", "read_part", "with_part"]

NAMESPACE = "urn:quorvel:workbook:1"
# Largest part read (uncompressed): a workbook's code is far smaller; a claim beyond this is a
# damaged or hostile file, not one to allocate for.
MAX_PART_BYTES = 256 * 1024 * 1024

_RELS_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
_TYPES_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
_DATASTORE_NS = "http://schemas.openxmlformats.org/officeDocument/2006/customXml"
_OFFICE_DOCUMENT = ("http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
                    "officeDocument")
_CUSTOM_XML = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/customXml"
_CUSTOM_XML_PROPS = ("http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
                     "customXmlProps")
_PROPS_TYPE = "application/vnd.openxmlformats-officedocument.customXmlProperties+xml"
_ITEM = re.compile(r"customXml/item(\d+)\.xml")
# What XML 1.0 text carries unchanged (no carriage return: parsers turn it into a line feed).
_XML_SAFE = re.compile("[\t\n\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]*")


ET.register_namespace("ds", _DATASTORE_NS)
ET.register_namespace("quorvel", NAMESPACE)


class WorkbookFormatError(ValueError):
    """The bytes are not a workbook, or its part is damaged; the text says what is wrong."""


@dataclass
class PartContents:
    modules: Dict[str, str] = field(default_factory=dict)
    packages: List[Any] = field(default_factory=list)
    settings: Dict[str, Any] = field(default_factory=dict)
    journal: Optional[str] = None  # the journal whose first `records` changes this holds
    records: int = 0


def check_module_name(name: Any) -> Optional[str]:
    """Why `name` cannot be a module's name (a dotted Python identifier), or None."""
    if not isinstance(name, str) or not name or len(name) > 200:
        return f"{name!r:.120} is not a module name"
    for piece in name.split("."):
        if not piece.isidentifier() or keyword.iskeyword(piece):
            return f"{name!r:.120} is not a module name"
    return None


# --- the part ---------------------------------------------------------------------------------

def encode_part(contents: PartContents) -> bytes:
    root = ET.Element(f"{{{NAMESPACE}}}workbook")
    if contents.journal is not None:
        root.set("journal", contents.journal)
        root.set("records", str(contents.records))
    for name in sorted(contents.modules):
        code = contents.modules[name]
        element = ET.SubElement(root, f"{{{NAMESPACE}}}module", name=name)
        if _XML_SAFE.fullmatch(code):
            element.set("encoding", "text")
            element.text = code
        else:
            element.set("encoding", "base64")
            element.text = base64.b64encode(code.encode("utf-8", "surrogatepass")).decode()
    packages = ET.SubElement(root, f"{{{NAMESPACE}}}packages", encoding="json")
    packages.text = json.dumps(contents.packages)
    for name in sorted(contents.settings):
        setting = ET.SubElement(root, f"{{{NAMESPACE}}}setting", name=name, encoding="json")
        setting.text = json.dumps(contents.settings[name])
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def decode_part(data: bytes) -> PartContents:
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        raise WorkbookFormatError(f"its Python part is not XML ({error})") from None
    if root.tag != f"{{{NAMESPACE}}}workbook":
        raise WorkbookFormatError("its Python part is damaged (its root is not a workbook)")
    contents = PartContents(journal=root.get("journal"))
    try:
        contents.records = int(root.get("records", "0"))
        for element in root:
            kind = element.tag.rpartition("}")[2]
            text = element.text or ""
            if kind == "module":
                name = element.get("name")
                problem = check_module_name(name)
                if problem is not None:
                    raise WorkbookFormatError(f"its Python part holds a module whose name "
                                              f"{problem}")
                if name in contents.modules:
                    raise WorkbookFormatError(f"its Python part holds module {name!r} twice")
                contents.modules[name] = _decoded(text, element.get("encoding"))
            elif kind == "packages":
                contents.packages = json.loads(text)
                if not isinstance(contents.packages, list):
                    raise WorkbookFormatError("its package list is not a list")
            elif kind == "setting":
                contents.settings[str(element.get("name"))] = json.loads(text)
    except (ValueError, UnicodeDecodeError) as error:
        if isinstance(error, WorkbookFormatError):
            raise
        raise WorkbookFormatError(f"its Python part is damaged ({error})") from None
    return contents


def _decoded(text: str, encoding: Optional[str]) -> str:
    if encoding == "text":
        return text
    if encoding == "base64":
        return base64.b64decode(text, validate=True).decode("utf-8", "surrogatepass")
    raise WorkbookFormatError(f"a module of its Python part has the encoding {encoding!r}")


# --- the part in a workbook's zip ---------------------------------------------------------------

def find_part(archive: zipfile.ZipFile) -> Optional[str]:
    """The name of the item whose root is in our namespace, or None."""
    for name in sorted(archive.namelist(), key=_item_number):
        if not _ITEM.fullmatch(name):
            continue
        data = _member(archive, name)
        try:
            root_tag = next(ET.iterparse(io.BytesIO(data), events=("start",)))[1].tag
        except (ET.ParseError, StopIteration):
            # Another add-in's damaged part is not ours to judge; ours damaged must not pass
            # for a workbook without Python (its next save would drop the modules for good).
            props = f"customXml/itemProps{_item_number(name)}.xml"
            if NAMESPACE.encode() in data or (
                    props in archive.namelist() and NAMESPACE.encode() in _member(archive, props)):
                raise WorkbookFormatError("its Python part is damaged (not XML)") from None
            continue
        if root_tag.startswith(f"{{{NAMESPACE}}}"):
            return name
    return None


def read_part(archive: zipfile.ZipFile) -> PartContents:
    """What a workbook's zip keeps of its Python (empty contents when it has no part)."""
    check_workbook(archive)
    name = find_part(archive)
    return PartContents() if name is None else decode_part(_member(archive, name))


def check_workbook(archive: zipfile.ZipFile) -> str:
    """The workbook part's name; WorkbookFormatError when the zip is not a workbook."""
    names = set(archive.namelist())
    if "[Content_Types].xml" not in names or "_rels/.rels" not in names:
        raise WorkbookFormatError("it is a zip file but not a workbook")
    for relation in _relationships(_member(archive, "_rels/.rels")):
        if relation.get("Type") == _OFFICE_DOCUMENT:
            part = _resolve("", relation.get("Target", ""))
            if part in names and part.endswith(".xml"):
                return part
    raise WorkbookFormatError("it is a zip file but not a workbook")


def with_part(archive: zipfile.ZipFile, contents: PartContents, output: Any) -> None:
    """Writes `archive` to `output` (a file object) with our part set to `contents`: every other
    member is copied as it is, ours is replaced (or added, with its properties part,
    relationship and content type)."""
    workbook_part = check_workbook(archive)
    ours = find_part(archive)
    if ours is None:
        number = 1 + max([_item_number(n) for n in archive.namelist() if _ITEM.fullmatch(n)],
                         default=0)
        ours = f"customXml/item{number}.xml"
    number = _item_number(ours)
    props = f"customXml/itemProps{number}.xml"
    item_rels = f"customXml/_rels/item{number}.xml.rels"
    folder, base = posixpath.split(workbook_part)
    workbook_rels = posixpath.join(folder, "_rels", base + ".rels")
    written = {ours, props, item_rels, "[Content_Types].xml", workbook_rels}
    with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as target:
        for info in archive.infolist():
            if info.filename not in written:
                target.writestr(info, archive.read(info), compress_type=info.compress_type)
        target.writestr("[Content_Types].xml",
                        _with_props_type(_member(archive, "[Content_Types].xml"), props))
        existing_rels = (_member(archive, workbook_rels)
                         if workbook_rels in archive.namelist() else None)
        target.writestr(workbook_rels, _with_relationship(existing_rels, workbook_part, ours))
        target.writestr(ours, encode_part(contents))
        target.writestr(props, _props_part(archive, props))
        target.writestr(item_rels, _item_rels(posixpath.basename(props)))


def _member(archive: zipfile.ZipFile, name: str) -> bytes:
    info = archive.getinfo(name)
    if info.file_size > MAX_PART_BYTES:
        raise WorkbookFormatError(f"its member {name} claims {info.file_size:,} bytes")
    try:
        return archive.read(info)
    except (zipfile.BadZipFile, OSError, EOFError, ValueError) as error:
        raise WorkbookFormatError(f"its member {name} is damaged ({error})") from None


def _item_number(name: str) -> int:
    match = re.search(r"(\d+)\.xml$", name)
    return int(match.group(1)) if match else 0


def _resolve(folder: str, target: str) -> str:
    if target.startswith("/"):
        return target.lstrip("/")
    return posixpath.normpath(posixpath.join(folder, target))


def _relationships(data: bytes) -> List[ET.Element]:
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        raise WorkbookFormatError(f"its relationships are not XML ({error})") from None
    return [element for element in root if element.tag == f"{{{_RELS_NS}}}Relationship"]


def _with_relationship(data: Optional[bytes], workbook_part: str, item: str) -> bytes:
    """The workbook part's relationships, with one to our item. The document's own text is kept
    as it is and the new relationship added before its end."""
    folder = posixpath.dirname(workbook_part)
    if data is None:
        data = (b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                b'<Relationships xmlns="' + _RELS_NS.encode() + b'"></Relationships>')
    ids = set()
    for relation in _relationships(data):
        ids.add(relation.get("Id"))
        if relation.get("Type") == _CUSTOM_XML and _resolve(
                folder, relation.get("Target", "")) == item:
            return data
    number = 1
    while f"rIdQuorvel{number}" in ids:
        number += 1
    target = posixpath.relpath(item, folder or ".")
    return _inserted(data, b"</Relationships>",
                     f'<Relationship Id="rIdQuorvel{number}" Type="{_CUSTOM_XML}" '
                     f'Target="{target}"/>')


def _with_props_type(data: bytes, props: str) -> bytes:
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        raise WorkbookFormatError(f"its content types are not XML ({error})") from None
    part_name = "/" + props
    added = ""
    if not any(e.get("PartName") == part_name for e in root):
        added += f'<Override PartName="{part_name}" ContentType="{_PROPS_TYPE}"/>'
    if not any(e.get("Extension", "").lower() == "xml" for e in root):
        added += '<Default Extension="xml" ContentType="application/xml"/>'
    return _inserted(data, b"</Types>", added) if added else data


def _inserted(data: bytes, closing: bytes, element: str) -> bytes:
    at = data.rfind(closing)
    if at < 0:
        raise WorkbookFormatError(f"its {closing[2:-1].decode()} document has no plain end tag")
    return data[:at] + element.encode() + data[at:]


def _props_part(archive: zipfile.ZipFile, props: str) -> bytes:
    """Our properties part: kept as it was (its item id stays), or made with a new id."""
    if props in archive.namelist():
        return _member(archive, props)
    root = ET.Element(f"{{{_DATASTORE_NS}}}datastoreItem")
    root.set(f"{{{_DATASTORE_NS}}}itemID", "{" + str(uuid.uuid4()).upper() + "}")
    refs = ET.SubElement(root, f"{{{_DATASTORE_NS}}}schemaRefs")
    ET.SubElement(refs, f"{{{_DATASTORE_NS}}}schemaRef", {f"{{{_DATASTORE_NS}}}uri": NAMESPACE})
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def _item_rels(props_name: str) -> bytes:
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<Relationships xmlns="{_RELS_NS}"><Relationship Id="rId1" '
            f'Type="{_CUSTOM_XML_PROPS}" Target="{props_name}"/></Relationships>').encode()
