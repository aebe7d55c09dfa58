// Makes the receipts the virtual printer's tests read: each one the bytes an independent ESC/POS
// encoder sends (NAME.bin), and, in receipts.inc, what a reader should find on the paper: the text
// lines, the styles the receipt asked for, and each symbol and picture in order. Run it through
// scripts/make-receipts.sh, which installs the pinned encoders first.
'use strict';

const fs = require('fs');
const path = require('path');
const EscPosEncoder = require('esc-pos-encoder');
const EscPosBuffer = require('escpos-buffer');
const NodeEscpos = require('@node-escpos/core');

const here = __dirname;
const version = (name) => require(path.join(here, 'node_modules', name, 'package.json')).version;
const EPE = `esc-pos-encoder ${version('esc-pos-encoder')} ` +
    `(receipt-printer-encoder ${version('@point-of-sale/receipt-printer-encoder')})`;
const EPB = `escpos-buffer ${version('escpos-buffer')}`;
const NEP = `@node-escpos/core ${version('@node-escpos/core')}`;

// The test picture: a frame, a diagonal, a checkerboard and a triangle, so that a picture turned,
// mirrored, shifted or cut into bands with gaps never equals it.
const PATTERN = {width: 96, height: 72};
function patternDot(x, y) {
  const {width, height} = PATTERN;
  return x < 2 || y < 2 || x >= width - 2 || y >= height - 2 || x === y || x === y + 1 ||
      (x >= 48 && y >= 24 && y < 48 && ((x >> 3) + (y >> 3)) % 2 === 0) ||
      (x < 24 && y >= 48 && x < y - 48);
}
function patternRgba() {
  const data = new Uint8ClampedArray(PATTERN.width * PATTERN.height * 4);
  for (let y = 0; y < PATTERN.height; y++) {
    for (let x = 0; x < PATTERN.width; x++) {
      const v = patternDot(x, y) ? 0 : 255;
      data.set([v, v, v, 255], (y * PATTERN.width + x) * 4);
    }
  }
  return data;
}

// esc-pos-encoder at 48 columns: font A fills the 576 dots of 80 mm paper exactly, as does font
// B's 64.
function epe(options = {}) {
  const {paper, ...rest} = options;
  return new EscPosEncoder(rest.printerModel ? rest : {columns: 48, ...rest});
}

// The text lines the encoder composed (it aligns and wraps with spaces itself), as a reader sees
// them: lines with something on them, trailing blanks dropped.
function composedLines(build, options) {
  const lines = [];
  for (const line of build(epe(options)).commands()) {
    let text = '';
    for (const item of line.commands) {
      if (item.type === 'text') text += item.value;
      if (item.type === 'space') text += ' '.repeat(item.size);
    }
    text = text.replace(/\s+$/, '');
    if (text !== '') lines.push({text, align: 'Left'});
  }
  return lines;
}

const receipts = [];

// One receipt made by esc-pos-encoder. `expect` says what is not plain text: styled pieces,
// graphics, and lines the encoder does not compose (HRI) as a list or a change to its lines.
function fromEpe(name, covers, build, expect = {}, options = {}) {
  receipts.push({
    name, covers, encoder: EPE, bytes: Buffer.from(build(epe(options)).encode()),
    lines: typeof expect.lines === 'object' ? expect.lines :
        (expect.lines || ((lines) => lines))(composedLines(build, options)),
    styled: expect.styled || [],
    graphics: expect.graphics || [], cuts: expect.cuts || 0, paper: options.paper || 576,
  });
}

// escpos-buffer writes through a connection; InMemory keeps the bytes.
async function fromEpb(name, covers, build, expect) {
  const connection = new EscPosBuffer.InMemory();
  const printer = await EscPosBuffer.Printer.CONNECT('TM-T20', connection);
  await build(printer);
  receipts.push({
    name, covers, encoder: EPB, bytes: connection.buffer(), lines: expect.lines,
    styled: expect.styled || [], graphics: expect.graphics || [], cuts: expect.cuts || 0,
    paper: 576,
  });
}

// @node-escpos/core keeps the bytes in its buffer until flushed to an adapter; the buffer is
// taken directly. It writes text in GB18030, which a printer of this family reads by default.
async function fromNep(name, covers, build, expect) {
  const printer = new NodeEscpos.Printer({write() {}, close() {}}, {width: 48});
  await build(printer);
  receipts.push({
    name, covers, encoder: NEP, bytes: Buffer.from(printer.buffer.flush()), lines: expect.lines,
    styled: expect.styled || [], graphics: expect.graphics || [], cuts: expect.cuts || 0,
    paper: 576,
  });
}

// Raw bytes the encoders do not make, appended by hand from the command reference.
const ESC = 0x1b;
const upsideDown = (on) => [ESC, 0x7b, on ? 1 : 0];  // ESC {
const hriFontB = [0x1d, 0x66, 0x01];  // GS f 1
const style = (s) => s;

// Text and styles.
fromEpe('epe_text_styles', 'bold, underline, double sizes, font B, alignment and wrapping',
    (e) => e.initialize()
        .line('Plain text at 48 columns')
        .bold(true).text('Bold').bold(false).text(' then plain').newline()
        .underline(true).text('Underlined').underline(false).newline()
        .size(2, 2).line('Double size').size(1, 1)
        .width(2).line('Double width').width(1)
        .height(2).line('Double height').height(1)
        .size(3, 4).line('Triple x4').size(1, 1)
        .align('center').line('Centred').align('right').line('On the right').align('left')
        .font('B').line('Font B has 64 columns on the same paper width, here').font('A')
        .line('A long line that the encoder wraps at the paper width by itself, word by word, ' +
              'as a customer would read it')
        .cut(),
    {
      styled: [
        {text: 'Bold', style: style({bold: true})},
        {text: ' then plain', style: style({})},
        {text: 'Underlined', style: style({underline: 1})},
        {text: 'Double size', style: style({widthMul: 2, heightMul: 2})},
        {text: 'Double width', style: style({widthMul: 2})},
        {text: 'Double height', style: style({heightMul: 2})},
        {text: 'Triple x4', style: style({widthMul: 3, heightMul: 4})},
        {text: 'Font B has 64', style: style({fontB: true})},
      ],
      cuts: 1,
    });

// Code pages: each line in a code page the encoder chooses by name; the last one left to the
// encoder among the pages this printer family has.
const pages = [
  ['cp437', 'cp437: ÇüéâäàåçêëèïîìÄÅ ½¼ ░▒▓│┤'],
  ['cp850', 'cp850: ÀÁÂÃÈÊÌÍÒÓÔÕÙÚÛ ßøØ'],
  ['cp860', 'cp860: ãõÃÕâêôÂÊÔ'],
  ['cp863', 'cp863: ÂÀÈÊËÎÏÔÛÙ'],
  ['cp865', 'cp865: æÆøØåÅ ¤'],
  ['windows1252', 'windows1252: €‚ƒ„…†‡ “quoted” – —'],
  ['cp866', 'cp866: Привет, чек №42'],
  ['cp852', 'cp852: ĄąĆćĘęŁłŃńŚśŹźŻż'],
  ['cp858', 'cp858: 12,50 € ÀÉÎÕÜ'],
];
const AUTO = 'auto: Grüße, Çà va, Привет, 5 €';
fromEpe('epe_code_pages', 'the code pages the encoder names and that this family prints',
    (e) => {
      e.initialize();
      for (const [page, text] of pages) e.codepage(page).line(text);
      return e.codepage('auto').line(AUTO);
    },
    {lines: [...pages, [, AUTO]].map(([, text]) => ({text, align: 'Left'}))},
    {codepageCandidates: pages.map(([page]) => page)});

// Every 1D symbology the encoder has names for that a printer of this family draws, HRI below or
// none. UPC and EAN data as the encoder is given it, with check digits: the reader returns them.
const barcodes = [
  ['upca', '012345678905', 'UPC-A', true],
  ['upce', '01234565', 'UPC-E', false],
  ['ean13', '4006381333931', 'EAN-13', true],
  ['ean8', '96385074', 'EAN-8', false],
  ['code39', 'KELVO-39 $', 'Code39', true],
  ['itf', '0123456789', 'ITF', false],
  ['codabar', 'A40156B', 'Codabar', true],
  ['code93', 'KELVO-93', 'Code93', false],
  ['code128', 'Kelvo 128', 'Code128', true],
  ['code128', '{C\x0c\x22\x38', 'Code128', false, '123456'],
];
fromEpe('epe_barcodes', 'UPC-A, UPC-E, EAN-13, EAN-8, CODE39, ITF, CODABAR, CODE93, CODE128 ' +
    '(set B and set C), HRI below or none, heights and widths',
(e) => {
  e.initialize();
  barcodes.forEach(([kind, data, , text], i) => {
    e.line(`${kind}:`);
    if (i === 4) e.raw(hriFontB);  // GS f: the encoder has no HRI font; by hand
    e.barcode(data, kind, {height: 40 + 8 * i, width: 1 + (i % 2), text});
  });
  return e.cut('partial');
},
{
  lines: barcodes.flatMap(([kind, data, , text, read]) => [
    {text: `${kind}:`, align: 'Left'},
    ...(text ? [{text: read || data, align: 'Left'}] : [])]),
  graphics: barcodes.map(([, data, format, , read]) => ({kind: format, data: read || data})),
  cuts: 1,
});

// QR codes: every size and error level the encoder takes, both models, aligned three ways.
const ALIGN = {left: 'Left', center: 'Centre', right: 'Right'};
const qrs = [
  [1, 'l', 2, 'left', 'https://example.com/r/1'],
  [2, 'm', 2, 'center', 'https://example.com/receipt?id=2&total=12.50'],
  [3, 'q', 1, 'right', 'KELVO 3 Q MODEL 1'],
  [4, 'h', 2, 'left', 'WIFI:T:WPA;S:shop;P:secret;;'],
  [5, 'l', 2, 'center', 'Tel 5'],
  [6, 'm', 2, 'left', 'kelvo://six'],
  [7, 'q', 2, 'left', 'seven 7777777'],
  [8, 'h', 2, 'center', 'EIGHT'],
];
fromEpe('epe_qrcodes', 'QR code sizes 1 to 8, error levels L M Q H, models 1 and 2, alignment',
    (e) => {
      e.initialize();
      for (const [size, errorlevel, model, align, data] of qrs) {
        e.align(align).qrcode(data, {size, errorlevel, model}).align('left');
      }
      return e.line('after the codes');
    },
    {graphics: qrs.map(([, , , align, data]) => ({kind: 'QRCode', data, align: ALIGN[align]}))});

// PDF417 with the options the encoder has.
const pdfs = [
  [{width: 2, height: 3, columns: 0, rows: 0, errorlevel: 1}, 'Kelvotool PDF417 0123456789'],
  [{width: 3, height: 2, columns: 4, rows: 0, errorlevel: 3}, 'ORDER 42 / TABLE 7'],
  [{width: 2, height: 4, columns: 0, rows: 10, errorlevel: 0, truncated: true}, 'truncated'],
];
fromEpe('epe_pdf417', 'PDF417 module widths, row heights, columns, rows, error levels, truncated',
    (e) => {
      e.initialize();
      for (const [options, data] of pdfs) e.pdf417(data, options);
      return e.line('after the codes');
    },
    {graphics: pdfs.map(([, data]) => ({kind: 'PDF417', data}))});

// Pictures: the pattern as a raster (GS v 0) and in 24-dot columns (ESC *). The 3.0 line of the
// encoder sets ESC 3 0x24 between its bands: 36 dots where the motion unit is a dot, as in this
// family, so its bands stand 36 dots apart with 12 white rows between them.
fromEpe('epe_raster_picture', 'GS v 0 raster picture of the test pattern, centred',
    (e) => {
      const encoder = new EscPosEncoder({columns: 48, imageMode: 'raster'});
      return encoder.initialize().align('center')
          .image({data: patternRgba(), width: PATTERN.width, height: PATTERN.height},
              PATTERN.width, PATTERN.height, 'threshold', 128)
          .align('left').line('after the picture');
    },
    {graphics: [{kind: 'raster', data: '', align: 'Centre'}]});
fromEpe('epe_column_picture', 'ESC * 24-dot double density column picture of the test pattern',
    (e) => e.initialize()
        .image({data: patternRgba(), width: PATTERN.width, height: PATTERN.height},
            PATTERN.width, PATTERN.height, 'threshold', 128)
        .line('after the picture'),
    {graphics: [{kind: 'column', data: '', pitch: 36}]});

// Tables, rules and boxes: all spaces and CP437 line drawing characters.
fromEpe('epe_table', 'table columns with alignment, rules and a box',
    (e) => e.initialize()
        .table([{width: 28, align: 'left'}, {width: 6, align: 'right'},
          {width: 14, align: 'right'}],
        [['Item', 'Qty', 'Price'], ['Coffee beans 1 kg', '1', '18.90'],
          ['Milk', '2', '2.40'], ['A name too long for its column wraps', '1', '3.10']])
        .rule()
        .rule({style: 'double'})
        .box({width: 30, align: 'center'}, 'Thank you')
        .newline());

// Reverse from the encoder; upside-down by hand (ESC {), which it does not make.
fromEpe('epe_reverse_upside_down', 'GS B reverse from the encoder, ESC { upside-down by hand',
    (e) => e.initialize()
        .invert(true).text('REVERSED').invert(false).text(' plain').newline()
        .raw(upsideDown(true)).line('Upside down line').raw(upsideDown(false))
        .line('Right way up'),
    {
      styled: [
        {text: 'REVERSED', style: style({reverse: true})},
        {text: ' plain', style: style({})},
        {text: 'Upside down line', style: style({upsideDown: true})},
        {text: 'Right way up', style: style({})},
      ],
    });

// A shop's receipt as a POS program prints one.
fromEpe('epe_shop_receipt', 'a shop receipt: logo, header, items table, totals, EAN-13, QR, cut',
    (e) => e.initialize()
        .align('center')
        .image({data: patternRgba(), width: PATTERN.width, height: PATTERN.height},
            PATTERN.width, PATTERN.height, 'threshold', 128)
        .size(2, 2).line('KELVO MARKET').size(1, 1)
        .line('12 Harbour Street, Portsmouth')
        .line('VAT 123 4567 89')
        .align('left').rule()
        .table([{width: 34, align: 'left'}, {width: 14, align: 'right'}],
            [['2 x Sourdough loaf', '7.00'], ['1 x Olive oil 500 ml', '6.45'],
              ['3 x Apples', '1.80'], ['Café au lait', '2.90']])
        .rule()
        .table([{width: 34, align: 'left'}, {width: 14, align: 'right'}],
            [[(c) => c.bold(true).text('TOTAL').bold(false), (c) => c.bold(true).text('18.15')]])
        .newline()
        .align('center').barcode('4006381333931', 'ean13', {height: 60, width: 2, text: true})
        .qrcode('https://example.com/r/20261208-0042', {size: 4, errorlevel: 'm'})
        .line('Thank you for shopping with us')
        .align('left')
        .cut(),
    {
      styled: [
        {text: 'KELVO MARKET', style: style({widthMul: 2, heightMul: 2})},
        {text: 'TOTAL', style: style({bold: true})},
        {text: '18.15', style: style({bold: true})},
      ],
      // The HRI digits under the bar code, centred with it.
      lines: (lines) => [...lines.slice(0, -1), {text: '4006381333931', align: 'Centre'},
        ...lines.slice(-1)],
      graphics: [{kind: 'column', data: '', pitch: 36, align: 'Centre'},
        {kind: 'EAN-13', data: '4006381333931', align: 'Centre'},
        {kind: 'QRCode', data: 'https://example.com/r/20261208-0042', align: 'Centre'}],
      cuts: 1,
    });

// A 58 mm printer as the encoder knows one (32 columns, raster pictures), loaded with 58 mm paper.
fromEpe('epe_58mm_receipt', 'a receipt for a 58 mm printer model: 32 columns, raster logo, ' +
    'CODE128, QR, PDF417',
(e) => e.initialize()
    .align('center')
    .image({data: patternRgba(), width: PATTERN.width, height: PATTERN.height},
        PATTERN.width, PATTERN.height, 'threshold', 128)
    .bold(true).line('KELVO KIOSK').bold(false)
    .align('left')
    .table([{width: 22, align: 'left'}, {width: 10, align: 'right'}],
        [['Espresso', '2.20'], ['Croissant', '1.90'], ['Total', '4.10']])
    .align('center')
    .barcode('K-0042-58', 'code128', {height: 50, width: 1, text: true})
    .qrcode('https://example.com/58/0042', {size: 4, errorlevel: 'q'})
    .pdf417('KIOSK 58 0042', {width: 2, height: 3})
    .align('left')
    .cut(),
{
  lines: (lines) => [...lines.slice(0, 4), {text: 'K-0042-58', align: 'Centre'}],
  styled: [{text: 'KELVO KIOSK', style: style({bold: true})}],
  graphics: [{kind: 'raster', data: '', align: 'Centre'},
    {kind: 'Code128', data: 'K-0042-58', align: 'Centre'},
    {kind: 'QRCode', data: 'https://example.com/58/0042', align: 'Centre'},
    {kind: 'PDF417', data: 'KIOSK 58 0042', align: 'Centre'}],
  cuts: 1,
},
{printerModel: 'pos-5890', paper: 384});

// Tab stops (ESC D) and HT: neither encoder makes them, so by hand: stops at columns 20 and 30.
fromEpe('hand_tab_stops', 'ESC D tab stops and HT, by hand around the encoder\'s text',
    (e) => e.initialize()
        .raw([ESC, 0x44, 20, 30, 0])
        .raw([...Buffer.from('Item\tQty\tPrice\n'), ...Buffer.from('Tea\t2\t3.00\n')])
        .line('after the table'),
    {
      lines: [{text: 'Item'.padEnd(20) + 'Qty'.padEnd(10) + 'Price', align: 'Left'},
        {text: 'Tea'.padEnd(20) + '2'.padEnd(10) + '3.00', align: 'Left'},
        {text: 'after the table', align: 'Left'}],
    });

// Receipts written byte by byte from the command reference, as the further encoders in use
// send them and the three here do not: Kanji settings, code page 1, UPC-E in its UPC-A form,
// MaxiCode, and CODE128 digits kept in the code set sent.
function fromHand(name, covers, bytes, expect) {
  receipts.push({
    name, covers, encoder: 'by hand from the command reference', bytes: Buffer.from(bytes),
    lines: expect.lines.map((text) => ({text, align: 'Left'})), styled: [],
    graphics: expect.graphics || [], cuts: 0, paper: 576,
  });
}
const FS = 0x1c;
const GS = 0x1d;
const bytesOf = (text) => [...Buffer.from(text, 'latin1')];
const initialize = [ESC, 0x40];
const symbol = (cn, fn, args) => [GS, 0x28, 0x6b, args.length + 2, 0, cn, fn, ...args];  // GS ( k
const maxiCode = (mode, data) => [...symbol(50, 65, [0x30 + mode]),
  ...symbol(50, 80, [0x30, ...bytesOf(data)]), ...symbol(50, 81, [0x30])];

fromHand('hand_kanji_font', 'FS ( A: the Kanji font, with its own length, between the lines',
    [...initialize, ...bytesOf('Kanji font A\n'), FS, 0x28, 0x41, 2, 0, 0x30, 0x01,
      ...bytesOf('Kanji font B\n'), FS, 0x28, 0x41, 2, 0, 0x30, 0x30, ...bytesOf('and A again\n')],
    {lines: ['Kanji font A', 'Kanji font B', 'and A again']});
fromHand('hand_kanji_code_system', 'FS C: the Kanji code system, as an ASCII digit and a number',
    [...initialize, FS, 0x43, 0x31, ...bytesOf('Shift JIS\n'), FS, 0x43, 0, ...bytesOf('JIS\n')],
    {lines: ['Shift JIS', 'JIS']});
// Kanji mode off (FS .) so that the bytes read through code page 1 (ESC t 1).
fromHand('hand_katakana_box', 'code page 1 (Katakana): a box drawn with its line bytes, ' +
    'half-width katakana in it',
    [...initialize, FS, 0x2e, ESC, 0x74, 1,
      0x9c, ...Array(5).fill(0x95), 0x91, ...Array(4).fill(0x95), 0x9d, 0x0a,
      0x96, 0xba, 0xb0, 0xcb, 0xb0, 0x20, 0x96, ...bytesOf(' 350'), 0x96, 0x0a,
      0x9e, ...Array(5).fill(0x95), 0x90, ...Array(4).fill(0x95), 0x9f, 0x0a],
    {lines: ['╭─────┬────╮', '│ｺｰﾋｰ │ 350│', '╰─────┴────╯']});
fromHand('hand_upce_upca_form', 'UPC-E sent in its UPC-A form: 11 digits (GS k B), and 12 with ' +
    'the check digit (GS k 1 ... NUL)',
    [...initialize, GS, 0x6b, 66, 11, ...bytesOf('04210000526'),
      GS, 0x6b, 1, ...bytesOf('012345000065'), 0, ...bytesOf('after the codes\n')],
    {lines: ['after the codes'],
      graphics: [{kind: 'UPC-E', data: '04252614'}, {kind: 'UPC-E', data: '01234565'}]});
fromHand('hand_maxicode', 'MaxiCode (GS ( k cn 50) in modes 4 and 5, and mode 2 with its postal ' +
    'code, country and service class',
    [...initialize, ...maxiCode(4, 'Kelvotool MaxiCode 4'), ...maxiCode(5, 'KELVO 5'),
      ...maxiCode(2, '152382802\x1d840\x1d001\x1dKelvo'), ...bytesOf('after the codes\n')],
    {lines: ['after the codes'],
      graphics: [{kind: 'MaxiCode', data: 'Kelvotool MaxiCode 4'},
        {kind: 'MaxiCode', data: 'KELVO 5'},
        {kind: 'MaxiCode', data: '152382802\x1d840\x1d001\x1dKelvo'}]});
// 11 modules a character (start, data, code set changes, check), 13 the stop, at GS w 2.
fromHand('hand_code128_set_b_digits', 'CODE128 digits sent in code set B, and set B text going ' +
    'on in set C, each printed in the code sets sent',
    [...initialize, GS, 0x77, 2, GS, 0x6b, 73, 12, ...bytesOf('{B0123456789'),
      GS, 0x6b, 73, 10, ...bytesOf('{BNo.{C'), 12, 34, 56, ...bytesOf('after the codes\n')],
    {lines: ['after the codes'],
      graphics: [{kind: 'Code128', data: '0123456789', width: 2 * (12 * 11 + 13)},
        {kind: 'Code128', data: 'No.123456', width: 2 * (9 * 11 + 13)}]});

async function fromEscposBuffer() {
  const {Align, Style, Threshold} = EscPosBuffer;
  const image = new EscPosBuffer.Image(
      {data: Buffer.from(patternRgba()), width: PATTERN.width, height: PATTERN.height},
      new Threshold());

  // Styles through ESC ! and GS !, alignment through ESC a with ASCII digits.
  await fromEpb('epb_text_styles', 'ESC E/ESC - with ASCII digits, ESC ! double sizes, GS ! ' +
      'sizes, ESC a 0/1/2 as ASCII digits, font B', async (p) => {
    await p.writeln('Plain line');
    await p.writeln('Bold line', Style.Bold);
    await p.writeln('Underlined line', Style.Underline);
    await p.writeln('Double height', Style.DoubleHeight, Align.Center);
    await p.writeln('Double width', Style.DoubleWidth, Align.Right);
    await p.withStyle({width: 3, height: 2, bold: true, align: Align.Center}, async () => {
      await p.writeln('Big and bold');
    });
    await p.setColumns(64);
    await p.writeln('Font B at sixty-four columns');
    await p.setColumns(48);
    await p.feed(3);
    await p.cutter();
  }, {
    lines: [['Plain line', 'Left'], ['Bold line', 'Left'], ['Underlined line', 'Left'],
      ['Double height', 'Centre'], ['Double width', 'Right'], ['Big and bold', 'Centre'],
      ['Font B at sixty-four columns', 'Left']].map(([text, align]) => ({text, align})),
    styled: [
      {text: 'Plain line', style: style({})},
      {text: 'Bold line', style: style({bold: true})},
      {text: 'Underlined line', style: style({underline: 1})},
      {text: 'Double height', style: style({heightMul: 2})},
      {text: 'Double width', style: style({widthMul: 2})},
      {text: 'Big and bold', style: style({bold: true, widthMul: 3, heightMul: 2})},
      {text: 'Font B at sixty-four columns', style: style({fontB: true})},
    ],
    cuts: 1,
  });

  // Its pictures go in 24-dot bands at a line spacing of 16 with ESC J 0 after each: the bands
  // stack with no gap.
  await fromEpb('epb_picture_and_qr', 'ESC * bands with ESC 3 16 and ESC J 0, and a QR code',
      async (p) => {
        await p.writeln('Logo:');
        await p.draw(image);
        await p.writeln('Scan to pay:', 0, Align.Center);
        await p.setAlignment(Align.Center);
        await p.qrcode('https://example.com/pay?amount=18.15&ref=K42', 5);
        await p.setAlignment(Align.Left);
        await p.writeln('after the code');
        await p.cutter();
      }, {
        lines: [['Logo:', 'Left'], ['Scan to pay:', 'Centre'], ['after the code', 'Left']]
            .map(([text, align]) => ({text, align})),
        graphics: [{kind: 'column', data: '', pitch: 24},
          {kind: 'QRCode', data: 'https://example.com/pay?amount=18.15&ref=K42',
            align: 'Centre'}],
        cuts: 1,
      });
}

async function fromNodeEscpos() {
  const pixels = {data: patternRgba(), shape: [PATTERN.width, PATTERN.height, 4]};
  const line = (text, align = 'Left') => ({text, align});

  // Every 1D kind with the HRI settings this encoder sends itself: GS H none, above, below,
  // both; GS f font A or B; GS w 2 to 6. It writes CODE93 and CODE128 counted, with a NUL after
  // the data that a printer reads past, and a length byte only from 16 characters on: the data
  // here is that long. CODE128 data starts with its code set, as the command reference asks.
  // Its CODABAR takes digits only, without the start and stop characters a printer needs: left
  // out.
  const codes = [
    ['UPC_A', '012345678905', 'UPC-A', 'blw', 'a', 2],
    ['UPC_E', '01234565', 'UPC-E', 'abv', 'b', 2],
    ['EAN13', '400638133393', 'EAN-13', 'bth', 'a', 3, '4006381333931'],
    ['EAN8', '9638507', 'EAN-8', 'off', 'a', 3, '96385074'],
    ['CODE39', 'KELVO-39', 'Code39', 'blw', 'b', 1],
    ['ITF', '0123456789', 'ITF', 'abv', 'a', 2],
    ['ITF', '9876543210', 'ITF', 'bth', 'b', 2],
    ['CODE93', 'KELVO-93-0123456', 'Code93', 'blw', 'a', 1],
    ['CODE128', '{BKelvo-128-ABCDEF', 'Code128', 'bth', 'a', 1, 'Kelvo-128-ABCDEF'],
  ];
  await fromNep('nep_barcodes_hri', 'UPC-A, UPC-E, EAN-13 (check digit added by the encoder), ' +
      'EAN-8, CODE39, ITF, CODE93, CODE128 with HRI none, above, below and both, in ' +
      'font A and B, module widths 2 to 4', async (p) => {
    p.hardware('init');
    for (const [type, data, , position, font, width] of codes) {
      p.text(`${type}:`);
      p.align('ct').barcode(data, type, {width, height: 48, position, font}).align('lt');
      p.feed(1);
    }
    p.text('after the codes');
    p.cut();
  }, {
    lines: [...codes.flatMap(([type, data, , position, , , read]) => {
      const hri = line(read || data, 'Centre');
      return [line(`${type}:`), ...(position === 'abv' || position === 'bth' ? [hri] : []),
        ...(position === 'blw' || position === 'bth' ? [hri] : [])];
    }), line('after the codes')],
    styled: [
      {text: '012345678905', style: style({})},
      {text: '01234565', style: style({fontB: true})},
      {text: 'KELVO-39', style: style({fontB: true})},
    ],
    graphics: codes.map(([, data, kind, , , , read]) => ({kind, data: read || data,
      align: 'Centre'})),
    cuts: 1,
  });

  // Chinese in GB18030 beside styles: ESC E, ESC - 1 and 2, GS ! sizes, ESC M, ESC a, GS B; and
  // ESC 4, an italic no ESC/POS printer of this kind has, which must print nothing.
  await fromNep('nep_chinese_styles', 'GB18030 Chinese text, bold, underline 1 and 2, GS ! ' +
      'sizes, font B, alignment, GS B reverse, an unknown ESC 4 italic, table, rule',
  async (p) => {
    p.hardware('init');
    p.align('ct').size(2, 2).text('凯沃超市').size(1, 1).align('lt');
    p.style('B').text('粗体 Bold').style('NORMAL');
    p.style('U').text('下划线 Underline').style('U2').text('Double underline').style('NORMAL');
    p.style('BI').text('Bold, italic asked').style('NORMAL');
    p.font('b').text('Font B 小字').font('a');
    p.align('rt').text('合计 18.15').align('lt');
    p.setReverseColors(true).text('反白 REVERSE').setReverseColors(false);
    p.tableCustom([{text: '商品', align: 'LEFT', width: 0.5},
      {text: '数量', align: 'CENTER', width: 0.25}, {text: '金额', align: 'RIGHT', width: 0.25}]);
    p.drawLine();
    p.cut(true, 2);
  }, {
    lines: [line('凯沃超市', 'Centre'), line('粗体 Bold'), line('下划线 Underline'),
      line('Double underline'), line('Bold, italic asked'), line('Font B 小字'),
      line('合计 18.15', 'Right'), line('反白 REVERSE'),
      // The table pads by the width it counts, two for a Chinese character: 24, 12 and 12
      // columns, the middle one centred, the last to the right.
      line('商品' + ' '.repeat(20 + 4) + '数量' + ' '.repeat(3 + 8) + '金额'),
      line('-'.repeat(48))],
    styled: [
      {text: '凯沃超市', style: style({widthMul: 2, heightMul: 2})},
      {text: '粗体 Bold', style: style({bold: true})},
      // ESC - underlines one-byte characters only; two-byte ones take FS -.
      {text: 'Underline', style: style({underline: 1})},
      {text: 'Double underline', style: style({underline: 2})},
      {text: 'Bold, italic asked', style: style({bold: true})},
      {text: 'Font B 小字', style: style({fontB: true})},
      {text: '反白 REVERSE', style: style({reverse: true})},
    ],
    cuts: 1,
  });

  // Pictures: GS v 0 at normal and quadruple size, and ESC * 24-dot bands at line spacing 0,
  // which stack with no gap.
  await fromNep('nep_pictures', 'GS v 0 raster at normal and quadruple scale, ESC * 24-dot ' +
      'bands at ESC 3 0', async (p) => {
    const image = new NodeEscpos.Image(pixels);
    p.hardware('init');
    p.raster(image);
    p.text('raster');
    p.align('ct').raster(image, 'dwdh').align('lt');
    p.text('quadruple');
    await p.image(image, 'd24');
    p.text('columns');
  }, {
    lines: [line('raster'), line('quadruple'), line('columns')],
    graphics: [{kind: 'raster', data: ''}, {kind: 'raster', data: '', scale: 2, align: 'Centre'},
      {kind: 'column', data: '', pitch: 0}],
  });
}

// C++ string literal: printable ASCII as is, every other byte in octal (which stops after three
// digits, unlike \x).
function cString(text) {
  let out = '"';
  for (const b of Buffer.from(text, 'utf8')) {
    const c = String.fromCharCode(b);
    if (b >= 0x20 && b < 0x7f && c !== '"' && c !== '\\' && c !== '?') out += c;
    else out += '\\' + b.toString(8).padStart(3, '0');
  }
  return out + '"';
}

function cStyle(s) {
  const fields = Object.entries(s).map(([k, v]) => `.${k} = ${v}`);
  return `TextStyle{${fields.join(', ')}}`;
}

function header() {
  const rows = receipts.map((r) => [
    `    ReceiptRow{${cString(r.name)}, ${cString(r.encoder)}, ${cString(r.covers)},`,
    `               {${r.lines.map((l) => `{${cString(l.text)}, Align::${l.align}}`)
        .join(',\n                ')}},`,
    `               {${r.styled.map((s) => `{${cString(s.text)}, ${cStyle(s.style)}}`)
        .join(',\n                ')}},`,
    `               {${r.graphics.map((g) => `{${cString(g.kind)}, ${cString(g.data)}, ` +
        `${g.pitch || 0}, Align::${g.align || 'Left'}, ${g.scale || 1}, ${g.width || 0}}`)
        .join(',\n                ')}},`,
    `               ${r.cuts}, ${r.paper}},`,
  ].join('\n'));
  const pattern = [];
  for (let y = 0; y < PATTERN.height; y++) {
    let row = '';
    for (let x = 0; x < PATTERN.width; x++) row += patternDot(x, y) ? '#' : '.';
    pattern.push(`    "${row}",`);
  }
  return [
    '// Made by tests/receipts/make.js (scripts/make-receipts.sh): what each receipt NAME.bin',
    '// beside it should print. Not edited by hand.',
    '// clang-format off',
    'inline const std::vector<ReceiptRow> kReceipts = {',
    ...rows,
    '};',
    '',
    '// The test picture, one string a row, # black.',
    'inline const std::vector<std::string> kPattern = {',
    ...pattern,
    '};',
    '// clang-format on',
    '',
  ].join('\n');
}

async function main() {
  await fromEscposBuffer();
  await fromNodeEscpos();
  for (const r of receipts) fs.writeFileSync(path.join(here, `${r.name}.bin`), r.bytes);
  fs.writeFileSync(path.join(here, 'receipts.inc'), header());
  for (const r of receipts) console.log(`${r.name}.bin: ${r.bytes.length} bytes, ${r.covers}`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
