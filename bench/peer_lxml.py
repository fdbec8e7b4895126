#!/usr/bin/python3
"""The merge as a user would write it with lxml instead of quillbraid: the benchmark's peer.

    peer_lxml.py CALLING-SEQUENCE      (same argument and working folder as quillbraid)

Parses the whole score into a tree, merges each group's parts into its bottom part (a staves
count, numbered clefs, a backup between staves, a staff number on every note and direction,
voices raised by two per staff), drops the merged parts from the part list, writes
QUILLBRAID.XML in the score's encoding, keeps the score as <score>org and copies the result
over it. It does the same work as a run, not the same bytes: it is timed, not compared.
"""
import os
import re
import shutil
import sys

from lxml import etree


def groups_of(calling_sequence):
    head, _, rest = calling_sequence.partition("/")
    path = head.split("FILE=", 1)[1].replace("\\", "/")
    groups = []
    for m in re.finditer(r"STAVESUP=\d+,PART=(\d+),INSTR=,([\d,]+),/", rest):
        groups.append(["P" + n for n in m.group(2).split(",") if n])
    return path, groups


def measure_length(measure):
    at = longest = 0
    for e in measure:
        d = e.findtext("duration")
        if d is None:
            continue
        if e.tag == "backup":
            at -= int(d)
        elif e.tag == "forward" or (e.tag == "note" and e.find("chord") is None):
            at += int(d)
        longest = max(longest, at)
    return longest


def mark(e, staff):
    if e.tag not in ("note", "direction"):
        return
    voice = e.find("voice")
    if voice is not None and voice.text and voice.text.isdigit():
        voice.text = str(int(voice.text) + 2 * (staff - 1))
    s = etree.SubElement(e, "staff")
    s.text = str(staff)


def merge(root, members):
    parts = [root.find(f"part[@id='{m}']") for m in members]
    bottom = parts[-1]
    measures = [p.findall("measure") for p in parts]
    merged = []
    for k, bottom_measure in enumerate(measures[-1]):
        m = etree.Element("measure", bottom_measure.attrib)
        clefs = 0
        for staff, staff_measures in enumerate(measures, start=1):
            if k >= len(staff_measures):
                continue
            source = staff_measures[k]
            if staff > 1:
                b = etree.SubElement(m, "backup")
                etree.SubElement(b, "duration").text = str(measure_length(m))
            for e in list(source):
                if e.tag == "attributes":
                    for clef in e.findall("clef"):
                        clefs += 1
                        clef.set("number", str(staff))
                mark(e, staff)
                m.append(e)
        if clefs:
            attributes = m.find("attributes")
            staves = etree.Element("staves")
            staves.text = str(len(members))
            first_clef = attributes.find("clef")
            if first_clef is not None:
                first_clef.addprevious(staves)
        merged.append(m)
    for old in list(bottom):
        bottom.remove(old)
    bottom.extend(merged)
    part_list = root.find("part-list")
    for p, member in zip(parts[:-1], members[:-1]):
        root.remove(p)
        part_list.remove(part_list.find(f"score-part[@id='{member}']"))


def main():
    path, groups = groups_of(" ".join(sys.argv[1:]))
    tree = etree.parse(path, etree.XMLParser(remove_blank_text=False, huge_tree=True))
    for members in groups:
        merge(tree.getroot(), members)
    encoding = tree.docinfo.encoding or "UTF-8"
    tree.write("QUILLBRAID.XML", encoding=encoding, xml_declaration=True)
    if not os.path.exists(path + "org"):
        os.rename(path, path + "org")
    shutil.copyfile("QUILLBRAID.XML", path)


if __name__ == "__main__":
    main()
