#!/usr/bin/env python3
"""Checks of the benchmark input generator: the expected configuration text of a
hand-made tree, and agreement between the XML it writes and the bytes it expects."""

import hashlib
import os
import sys
import tempfile
import unittest
from xml.dom import minidom

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen  # noqa: E402
from gen import Obj, Other  # noqa: E402


def empty_object():
    obj = Obj()
    obj.empty_form = True
    return obj


def hand_made_tree():
    top = Obj('A\\B', 'section', 'C:\\x\\', children=[
        Other('<!-- first comes a comment -->'),
        Obj('Port', 'int', '80'),
        Other('<Description>between objects</Description>'),
        Obj('Quote', 'string', 'say "hi" & <go>', children=[]),
        empty_object(),
        Obj('Inner', 'reg\\sz', '', children=[Obj('Deep', 'bool', 'true')]),
        Obj('OnlyOther', 'section', 'x', children=[
            Other('<Disabled><Object><Name>No</Name></Object></Disabled>')]),
        Obj('Hidden', 'string', 'secret', value_hidden=True),
        Obj('Short', 'int', '3', name_hidden=True),
        Obj('NoType', None, 'v'),
        Obj('NoValue', 'int', None),
        Obj(None, 'int', '4'),
        Obj('Twice', 'int', '1', duplicates=True, children=[Obj('One', 'int', '1')]),
        Obj('Größe', 'string', '5 €',
            before=[Other('<Description>before the name</Description>')]),
    ])
    return [top, Obj('Second', 'int', '2')]


# Written out by hand from the layout rules: tab indentation, name(type)="value",
# "{}" for an object without nested objects, braces on lines of their own
# otherwise, backslashes doubled in names and values only.
HAND_MADE_EXPECTED = (
    'A\\\\B(section)="C:\\\\x\\\\"\n'
    '{\n'
    '\tPort(int)="80"{}\n'
    '\tQuote(string)="say "hi" & <go>"{}\n'
    '\t()=""{}\n'
    '\tInner(reg\\sz)=""\n'
    '\t{\n'
    '\t\tDeep(bool)="true"{}\n'
    '\t}\n'
    '\tOnlyOther(section)="x"{}\n'
    '\tHidden(string)=""{}\n'
    '\t(int)="3"{}\n'
    '\tNoType()="v"{}\n'
    '\tNoValue()=""{}\n'
    '\t(int)="4"{}\n'
    '\tTwice(int)="1"\n'
    '\t{\n'
    '\t\tOne(int)="1"{}\n'
    '\t}\n'
    '\tGröße(string)="5 €"{}\n'
    '}\n'
    'Second(int)="2"{}\n').encode('utf-8')


# A second reader of the XML files, built on the standard library's DOM: it applies
# the vocabulary rules to what the XML text says, independently of the model.

def child_element(parent, name):
    if parent is None:
        return None
    for node in parent.childNodes:
        if node.nodeType == node.ELEMENT_NODE and node.tagName == name:
            return node
    return None


def element_text(element):
    if element is None or element.firstChild is None:
        return ''
    first = element.firstChild
    return first.data if first.nodeType == first.TEXT_NODE else ''


def dom_object(obj, depth, out):
    indent = '\t' * depth
    value = child_element(obj, 'Value')
    vtype = value.getAttribute('type') if value is not None else ''
    out.append('%s%s(%s)="%s"' % (
        indent, element_text(child_element(obj, 'Name')).replace('\\', '\\\\'),
        vtype, element_text(value).replace('\\', '\\\\')))
    subs = child_element(obj, 'SubObjects')
    nested = [] if subs is None else [
        n for n in subs.childNodes
        if n.nodeType == n.ELEMENT_NODE and n.tagName == 'Object']
    if nested:
        out.append('\n%s{\n' % indent)
        for child in nested:
            dom_object(child, depth + 1, out)
        out.append('%s}' % indent)
    else:
        out.append('{}')
    out.append('\n')


def dom_configuration(xml_paths):
    out = []
    for path in xml_paths:
        top = child_element(minidom.parse(path).documentElement, 'Object')
        if top is not None:
            dom_object(top, 0, out)
    return ''.join(out).encode('utf-8')


def digest_tree(root):
    h = hashlib.sha256()
    for dirpath, dirnames, filenames in sorted(os.walk(root)):
        dirnames.sort()
        for name in sorted(filenames):
            if name == 'registry.reg':
                continue  # names the absolute directory
            path = os.path.join(dirpath, name)
            h.update(os.path.relpath(path, root).encode())
            with open(path, 'rb') as f:
                h.update(f.read())
    return h.hexdigest()


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_hand_made_tree_gives_the_layout(self):
        self.assertEqual(gen.expected_text(hand_made_tree()).encode('utf-8'),
                         HAND_MADE_EXPECTED)

    def test_written_xml_reads_back_as_expected(self):
        # Both line-end styles; the second top object goes into a second file.
        for nl in ('\n', '\r\n'):
            paths = []
            for index, top in enumerate(hand_made_tree()):
                parts = [gen.file_head(nl, declaration=index == 0), '<Root>', nl]
                gen.render_object(top, 1, parts, nl)
                parts.extend(['<Object><Name>NotWritten</Name></Object>', nl,
                              '</Root>', nl])
                path = os.path.join(self.dir, 'hand%d.xml' % index)
                with open(path, 'wb') as f:
                    f.write(''.join(parts).encode('utf-8'))
                paths.append(path)
            self.assertEqual(dom_configuration(paths), HAND_MADE_EXPECTED, repr(nl))

    def test_generated_large_file_matches_its_expected_bytes(self):
        xml = os.path.join(self.dir, 'big.xml')
        expected = os.path.join(self.dir, 'big.cfg')
        # Large enough to hold a deep chain and every odd form.
        objects = gen.write_big_xml(xml, expected, 1400 * 1024, seed=5)
        self.assertGreater(objects, 9000)
        with open(expected, 'rb') as f:
            self.assertEqual(dom_configuration([xml]), f.read())
        with open(xml, 'rb') as f:
            text = f.read()
        for form in (b'<Object/>', b'<!-- set at installation -->', b'Shadowed',
                     b'<Disabled>', b'&amp;', b'&quot;', b'\\\\server'):
            self.assertTrue(form in text, form)
        with open(expected, 'rb') as f:
            # The deep chain: 24 objects below the top one.
            self.assertTrue(b'\n' + b'\t' * 23 + b'{\n' in f.read())

    def test_small_case_entries_match_their_expected_bytes(self):
        manifest = gen.make_small_case(self.dir, 6, 4)
        case = os.path.join(self.dir, 'small')
        files = manifest['xml_files']
        self.assertEqual(len(files), 24)
        for e, (out_name, exp_name) in enumerate(manifest['outputs']):
            xmls = [os.path.join(case, n) for n in files[4 * e:4 * e + 4]]
            with open(os.path.join(case, exp_name), 'rb') as f:
                self.assertEqual(dom_configuration(xmls), f.read(), out_name)
        with open(os.path.join(case, 'build.lst')) as f:
            build = f.read()
        self.assertIn('"out\\module005.cfg" {\n    "xml\\m005_0.xml"\n', build)
        with open(os.path.join(case, 'registry.reg')) as f:
            registry = f.read()
        self.assertIn('"ConfigurationDir"="%s/"\n' % case, registry)
        self.assertIn('"ArdwenFile"="build.lst"\n', registry)

    def test_generation_is_deterministic(self):
        first = os.path.join(self.dir, 'a')
        second = os.path.join(self.dir, 'b')
        for out in (first, second):
            gen.make_small_case(out, 3, 4)
            gen.make_big_case(out, 1)
        self.assertEqual(digest_tree(first), digest_tree(second))


if __name__ == '__main__':
    unittest.main()
