#!/usr/bin/env python3
"""Writes a real score as the converter would: every part of several staves split into one
single-staff part per staff, one element per line, one tab per level, CR LF line ends.

    scripts/split-score.py ORIGINAL OUT_FOLDER [--scale PART FACTOR] [--key PART] [--hide PART]

OUT_FOLDER gets original.musicxml (a copy), score.xml (the split score; with a variant option,
score-<variant>.xml instead), args (the calling sequence that merges the parts back) and parts
(per line: an original part's id, then the id the merge gives it). Variants, for the corpus test:
  --scale PART FACTOR  the split part PART's divisions, durations and offsets times FACTOR
  --key PART           the split part PART in a key of its own (one more sharp, or one fewer)
  --hide PART          the split part PART hidden from its first measure (staff details)
Each note lands at its own moment: the splitter places every element of a staff by the original's
clock, with the forwards and backups that this needs, so the parts read as the same music.
"""
import argparse
import copy
import os
import shutil
import sys
import xml.etree.ElementTree as ET
from fractions import Fraction


def staff_of(element):
    text = element.findtext('staff')
    return int(text) if text else 1


def drop_staff(element):
    for child in element.findall('staff'):
        element.remove(child)
    return element


def number_of(element):
    n = element.get('number')
    return int(n) if n else None


def split_attributes(attributes, staff):
    """The children of an attributes element that concern `staff`, as a single-staff part's."""
    out = ET.Element('attributes', attributes.attrib)
    for child in attributes:
        if child.tag in ('staves', 'part-symbol'):
            continue
        n = number_of(child)
        if child.tag == 'clef':
            n = n or 1
        if n is not None and n != staff:
            continue
        kept = copy.deepcopy(child)
        kept.attrib.pop('number', None)
        out.append(kept)
    return out if len(out) else None


def duration_of(element):
    text = element.findtext('duration')
    return Fraction(text) if text else Fraction(0)


class StaffStream:
    """One staff's elements of one measure, each placed at its moment."""

    def __init__(self):
        self.elements = []
        self.at = Fraction(0)

    def place(self, element, onset):
        if onset != self.at:
            move = ET.Element('forward' if onset > self.at else 'backup')
            ET.SubElement(move, 'duration').text = str(abs(onset - self.at))
            self.elements.append(move)
            self.at = onset
        self.elements.append(element)


def split_measure(measure, staves):
    streams = {s: StaffStream() for s in range(1, staves + 1)}
    time = Fraction(0)
    onset = Fraction(0)
    last_staff = None
    for child in measure:
        tag = child.tag
        if tag == 'note':
            staff = staff_of(child)
            note = drop_staff(copy.deepcopy(child))
            chord = child.find('chord') is not None
            if chord and staff == last_staff:  # it sounds with the note before it
                streams[staff].elements.append(note)
                continue
            if chord:  # a chord across staves: each staff's part of it is a note of its own
                note.remove(note.find('chord'))
            else:
                onset = time
                time += duration_of(child)
            last_staff = staff
            streams[staff].place(note, onset)
            streams[staff].at = onset + duration_of(child)
        elif tag == 'backup':
            time -= duration_of(child)
        elif tag == 'forward':
            time += duration_of(child)
        elif tag == 'attributes':
            for s in streams:
                part = split_attributes(child, s)
                if part is not None:
                    streams[s].place(part, time)
        elif tag == 'barline':
            for s in streams:
                streams[s].elements.append(copy.deepcopy(child))
        elif tag in ('direction', 'harmony', 'figured-bass'):
            streams[staff_of(child)].place(drop_staff(copy.deepcopy(child)), time)
        else:  # print, sound, bookmark, link, grouping: the first staff's
            streams[1].place(copy.deepcopy(child), time)
    result = []
    for s in streams:
        m = ET.Element('measure', measure.attrib)
        m.extend(streams[s].elements)
        result.append(m)
    return result


def scale_part(part, factor):
    for element in part.iter():
        if element.tag in ('divisions', 'duration', 'offset') and element.text:
            element.text = str(Fraction(element.text.strip()) * factor)


def own_key(part):
    for fifths in part.iter('fifths'):
        value = int(fifths.text)
        fifths.text = str(value + 1 if value < 7 else value - 1)


def hide_staff(part):
    attributes = part.find('measure/attributes')
    details = ET.Element('staff-details', {'print-object': 'no'})
    later = [i for i, c in enumerate(attributes)
             if c.tag in ('transpose', 'for-part', 'directive', 'measure-style')]
    attributes.insert(later[0] if later else len(attributes), details)


def escape(text, quote=False):
    text = text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')
    text = text.replace('\r', '&#13;').replace('\n', '&#10;')
    return text.replace('"', '&quot;').replace('\t', '&#9;') if quote else text


PREFIXES = {'{http://www.w3.org/XML/1998/namespace}': 'xml:',
            '{http://www.w3.org/1999/xlink}': 'xlink:'}


def attribute_name(name):
    for uri, prefix in PREFIXES.items():
        if name.startswith(uri):
            return prefix + name[len(uri):]
    return name


def lines_of(element, depth, out):
    attrs = ''.join(' %s="%s"' % (attribute_name(k), escape(v, True))
                    for k, v in element.attrib.items())
    tab = '\t' * depth
    if len(element) or element.tag in ('part', 'measure'):  # the merge wants both their lines
        out.append('%s<%s%s>' % (tab, element.tag, attrs))
        for child in element:
            lines_of(child, depth + 1, out)
        out.append('%s</%s>' % (tab, element.tag))
    elif element.text and element.text.strip():
        out.append('%s<%s%s>%s</%s>' % (tab, element.tag, attrs, escape(element.text.strip()),
                                         element.tag))
    else:
        out.append('%s<%s%s/>' % (tab, element.tag, attrs))


def split_score(root, options):
    new_root = ET.Element(root.tag, root.attrib)
    parts_out, mapping, groups = [], [], []
    number = 0
    part_list = root.find('part-list')
    new_list = ET.Element('part-list')
    for child in root:
        if child.tag not in ('part-list', 'part'):
            new_root.append(child)
        elif child.tag == 'part-list':
            new_root.append(new_list)
    parts = {part.get('id'): part for part in root.findall('part')}
    for entry in part_list:
        if entry.tag != 'score-part':
            new_list.append(entry)
            continue
        part = parts[entry.get('id')]
        staves_text = part.findtext('measure/attributes/staves')
        staves = int(staves_text) if staves_text else 1
        members = []
        split = [split_measure(m, staves) for m in part.findall('measure')]
        for s in range(1, staves + 1):
            number += 1
            new_id = 'P%d' % number
            member = copy.deepcopy(entry)
            member.set('id', new_id)
            # The instruments stay with the bottom part, whose entry the merge keeps; the notes of
            # every staff name them as before.
            for child in list(member):
                if s < staves and child.tag in ('score-instrument', 'midi-device', 'midi-instrument'):
                    member.remove(child)
            new_list.append(member)
            new_part = ET.Element('part', {'id': new_id})
            new_part.extend(measures[s - 1] for measures in split)
            parts_out.append(new_part)
            members.append(number)
        mapping.append((part.get('id'), 'P%d' % members[-1]))
        if staves > 1:
            groups.append('STAVESUP=%d,PART=%d,INSTR=,%s,/' % (
                staves - 1, members[-1], ','.join(str(m) for m in members)))
    if options.scale:
        scale_part(parts_out[options.scale[0] - 1], options.scale[1])
    if options.key:
        own_key(parts_out[options.key - 1])
    if options.hide:
        hide_staff(parts_out[options.hide - 1])
    new_root.extend(parts_out)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>']
    lines_of(new_root, 0, lines)
    return lines, mapping, groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('original')
    parser.add_argument('folder')
    parser.add_argument('--scale', nargs=2, type=int, metavar=('PART', 'FACTOR'))
    parser.add_argument('--key', type=int, metavar='PART')
    parser.add_argument('--hide', type=int, metavar='PART')
    options = parser.parse_args()
    root = ET.parse(options.original).getroot()
    lines, mapping, groups = split_score(root, options)
    os.makedirs(options.folder, exist_ok=True)
    variant = ('scaled-%d' % options.scale[1] if options.scale else
               'key' if options.key else 'hidden' if options.hide else '')
    name = 'score-%s.xml' % variant if variant else 'score.xml'
    with open(os.path.join(options.folder, name), 'wb') as out:
        out.write(('\r\n'.join(lines) + '\r\n').encode('utf-8'))
    if not variant:
        shutil.copyfile(options.original, os.path.join(options.folder, 'original.musicxml'))
        with open(os.path.join(options.folder, 'args'), 'w') as out:
            out.write('CALLEDBY=ORVANTIDE,FILE=score.xml/%s\n' % ''.join(groups))
        with open(os.path.join(options.folder, 'parts'), 'w') as out:
            out.write(''.join('%s %s\n' % pair for pair in mapping))
    return 0


if __name__ == '__main__':
    sys.exit(main())
