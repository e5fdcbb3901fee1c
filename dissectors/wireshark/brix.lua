-- Wireshark dissector for the link between Brix Tool and its cable modem.
--
-- Every UDP datagram carries one frame: six address bytes, the magic 0x7779, a message type and a
-- length word (all little-endian), then a body whose layout depends on the type and on who sent
-- it. The tool binds port 30587 and broadcasts to port 30588; the modem answers to port 30587.
-- The tree shows each field as the tool reads it, and the expert infos mark what the tool drops,
-- ignores or reads differently from what the frame seems to say.
--
-- Load it with `tshark -X lua_script:brix.lua` or from a Lua plugin folder; "Decode As" BRIX
-- works on any other UDP port.
--
-- One file for every Wireshark with Lua 5.2 or later: no bit operators, no integer division
-- operator, and every read is checked against the captured length before it is made.
--
-- A capture cut to a snap length keeps only the start of each datagram. What the tool reads is
-- measured by the datagram's length on the wire (the reported length); the fields in the part
-- that was not captured are not shown, and the frame is marked as cut (brix.cut), as Wireshark's
-- own dissectors mark it.

local brix = Proto("brix", "Brix Tool modem link")

local TOOL_PORT = 30587
local MODEM_PORT = 30588
local MAGIC = 0x7779
local HEADER = 12
local RECEIVE_CAPACITY = 1514 -- the tool reads no more of a datagram
local LINK_TEST_VALUE = 1234567
local SET_WORD = 0x1109
local ITEM_TABLE = 0x62
local ITEM_SCANNER = 0x27
local TABLE_BYTES = 30
local SCANNER_BYTES = 2
local MAX_VERSION = 199 -- longest version piece the tool's text buffer takes
local BANG = 33 -- '!'

local REQUEST = 0
local REPLY = 1

local type_names = {
    [0] = "GetData", [1] = "SetData", [3] = "Statistics", [4] = "Statistics2",
    [5] = "TuneFrequency", [6] = "RfQuery", [7] = "RfReport", [8] = "Query8", [9] = "Query9",
    [10] = "LinkTest", [11] = "LinkTestReply", [15] = "Version", [16] = "Version2",
    [17] = "DebugMessage", [18] = "TuneChannel",
}

-- Bit rates of the link's codes, in hundredths of Mbit/s; 7 and above have none.
local rate_hundredths = { [0] = 256, 320, 512, 682, 945, 945, 945 }
local rate_code_names = {}
for code = 0, 6 do
    rate_code_names[code] = string.format("%.2f Mbit/s", rate_hundredths[code] / 100)
end
-- The channel table's bit-rate index names only the first five.
local rate_index_names = {}
for index = 0, 4 do
    rate_index_names[index] = rate_code_names[index]
end

local item_names = { [ITEM_TABLE] = "Channel table", [ITEM_SCANNER] = "Scanner parameters" }
local direction_names = { [REQUEST] = "Request (tool to modem)", [REPLY] = "Reply (modem to tool)" }
local debug_names = { [3] = "Text", [6] = "Version text", [7] = "DTEQ", [9] = "MAP and GTR" }
local on_off = { "on", "off" }

local function field(kind, abbr, name, ...)
    return ProtoField[kind]("brix." .. abbr, name, ...)
end

local f = {
    address = field("bytes", "address", "Address"),
    magic = field("uint16", "magic", "Magic", base.HEX),
    type = field("int16", "type", "Message type", base.DEC, type_names),
    direction = field("uint8", "direction", "Direction", base.DEC, direction_names),
    length = field("uint16", "length", "Length word", base.DEC),
    length_expected = field("uint16", "length.expected", "Length word the tool sends", base.DEC),
    unread = field("bytes", "unread", "Not read by the tool"),
    cut = field("none", "cut", "Cut by the capture's snap length"),

    item = field("uint8", "item", "Data item", base.HEX, item_names),
    count = field("uint8", "count", "Byte count", base.DEC),
    set_word = field("uint16", "set_word", "Set word", base.HEX),
    data = field("bytes", "data", "Data"),

    table = field("none", "table", "Channel table"),
    table_channel = field("none", "table.channel", "Channel"),
    table_frequency = field("uint16", "table.frequency", "Frequency (tenths of a MHz)", base.DEC),
    table_rate_index = field("uint8", "table.rate_index", "Bit-rate index", base.DEC,
        rate_index_names),

    scanner = field("none", "scanner", "Scanner parameters"),
    scanner_mask = field("uint8", "scanner.mask", "Scan mask", base.HEX),
    scanner_ntsc_945 = field("bool", "scanner.ntsc_945", "NTSC 9.45 Mbit/s", 8, on_off, 0x01),
    scanner_ntsc_682 = field("bool", "scanner.ntsc_682", "NTSC 6.82 Mbit/s", 8, on_off, 0x02),
    scanner_palb_945 = field("bool", "scanner.palb_945", "PALB 9.45 Mbit/s", 8, on_off, 0x04),
    scanner_palb_682 = field("bool", "scanner.palb_682", "PALB 6.82 Mbit/s", 8, on_off, 0x08),
    scanner_pald_945 = field("bool", "scanner.pald_945", "PALD 9.45 Mbit/s", 8, on_off, 0x10),
    scanner_pald_682 = field("bool", "scanner.pald_682", "PALD 6.82 Mbit/s", 8, on_off, 0x20),
    scanner_other_945 = field("bool", "scanner.other_945", "Other 9.45 Mbit/s", 8, on_off, 0x40),
    scanner_other_682 = field("bool", "scanner.other_682", "Other 6.82 Mbit/s", 8, on_off, 0x80),
    scanner_second = field("uint8", "scanner.second", "Second byte", base.HEX),

    rf_rx_frequency = field("uint16", "rf.rx_frequency", "Receive frequency (tenths of a MHz)"),
    rf_rx_rate_code = field("uint16", "rf.rx_rate_code", "Receive bit-rate code", base.DEC,
        rate_code_names),
    rf_tx_frequency = field("uint16", "rf.tx_frequency", "Transmit frequency (tenths of a MHz)"),
    rf_tx_rate_code = field("uint16", "rf.tx_rate_code", "Transmit bit-rate code", base.DEC,
        rate_code_names),
    rf_attenuation = field("uint16", "rf.attenuation", "Attenuation code", base.DEC),
    rf_attenuation_dbmv = field("int32", "rf.attenuation_dbmv", "Attenuation (dBmV)", base.DEC),
    rf_tx_level = field("int32", "rf.tx_level", "Transmit level (txLevel)", base.DEC),

    stats_period = field("uint16", "stats.period", "Period (hundredths of a second)"),
    stats_tx_fragments = field("uint16", "stats.tx_fragments", "Upstream transmitted fragments"),
    stats_tx_packets = field("uint16", "stats.tx_packets", "Upstream transmitted packets"),
    stats_tx_bytes = field("int32", "stats.tx_bytes", "Upstream transmitted bytes"),
    stats_retransmitted = field("uint16", "stats.retransmitted",
        "Upstream packets re-transmitted"),
    stats_rx_forwarded = field("uint16", "stats.rx_forwarded", "Forwarded downstream packets"),
    stats_rx_filtered = field("uint16", "stats.rx_filtered", "Downstream packets filtered out"),
    stats_rx_bytes = field("int32", "stats.rx_bytes", "Forwarded downstream bytes"),
    stats_grants = field("uint16", "stats.grants", "Upstream transmission grants"),
    stats_tx_fragment_rate = field("uint32", "stats.tx_fragment_rate", "txFragmentRate"),
    stats_retransmit_rate = field("uint32", "stats.retransmit_rate", "retransmitRate"),
    stats_rx_packet_rate = field("uint32", "stats.rx_packet_rate", "rxPacketRate"),
    stats_grant_rate = field("uint32", "stats.grant_rate", "grantRate"),

    linktest_value = field("uint32", "linktest.value", "Link-test value", base.DEC),

    version_text = field("string", "version.text", "Version text"),
    version_shown = field("string", "version.shown", "Shown by the tool"),
    version_field = field("string", "version.field", "Shown in"),

    debug_subtype = field("uint16", "debug.subtype", "Sub-type", base.DEC, debug_names),
    debug_text = field("string", "debug.text", "Text"),
    debug_received = field("uint16", "debug.received", "Received"),
    debug_lost = field("uint16", "debug.lost", "Lost"),
    debug_map = field("uint32", "debug.map", "MAP", base.HEX),
    debug_gtr = field("uint32", "debug.gtr", "GTR", base.HEX),
    debug_diff = field("int32", "debug.diff", "DIFF (MAP - GTR)", base.DEC),

    tune_frequency = field("uint16", "tune.frequency", "Receive frequency (tenths of a MHz)"),
    tune_rate_code = field("uint16", "tune.rate_code", "Bit-rate code", base.DEC, rate_code_names),

    query_value = field("uint16", "query.value", "Value", base.DEC),
}
local field_list = {}
for _, v in pairs(f) do
    field_list[#field_list + 1] = v
end
brix.fields = field_list

local function new_expert(abbr, text, group, severity)
    return ProtoExpert.new("brix.expert." .. abbr, text, group, severity)
end

local e = {
    bad_magic = new_expert("bad_magic", "Magic is not 0x7779: the tool drops the frame",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown_type = new_expert("unknown_type", "Message type outside 0..18: no handler in the tool",
        expert.group.PROTOCOL, expert.severity.WARN),
    short = new_expert("short", "Datagram shorter than the fields the tool reads",
        expert.group.MALFORMED, expert.severity.WARN),
    no_zero = new_expert("no_zero", "Text without its zero byte",
        expert.group.MALFORMED, expert.severity.WARN),
    short_period = new_expert("short_period", "Statistics period below 10: the tool ignores the report",
        expert.group.PROTOCOL, expert.severity.WARN),
    length = new_expert("length", "Length word differs from what the tool sends for this type",
        expert.group.PROTOCOL, expert.severity.NOTE),
    rate_code = new_expert("rate_code", "Bit-rate code without a bit rate",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown_debug = new_expert("unknown_debug", "Unknown Debug Message",
        expert.group.PROTOCOL, expert.severity.WARN),
    link_test_value = new_expert("link_test_value", "Link-test answer other than 1234567",
        expert.group.PROTOCOL, expert.severity.WARN),
    ignored = new_expert("ignored", "Message type the receiving side does nothing with",
        expert.group.PROTOCOL, expert.severity.NOTE),
    oversize = new_expert("oversize", "Datagram longer than the 1514 bytes the tool reads",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
local expert_list = {}
for _, v in pairs(e) do
    expert_list[#expert_list + 1] = v
end
brix.experts = expert_list

-- ---- helpers; `c` is the frame being dissected (see dissect) ----

local function mhz(tenths)
    return string.format("%.1f MHz", tenths / 10)
end

local function rate_text(code)
    return rate_code_names[code] or "no bit rate"
end

-- `c.len` is the datagram's length on the wire, which is what the tool reads; `c.cap` is what
-- the capture kept of it, which is all that can be shown.
local function has(c, off, n)
    return off + n <= c.cap
end

local function flag(c, item, ex, text)
    item:add_proto_expert_info(ex, text)
end

-- Adds a little-endian unsigned field of `n` bytes at `off`, labelled by `label(v)` when given;
-- returns its value (nil when the datagram ends before it) and its item.
local function add_uint(c, tree, fld, off, n, label)
    if not has(c, off, n) then
        return nil
    end
    local range = c.tvb(off, n)
    local v = range:le_uint()
    if label then
        return v, tree:add_le(fld, range, v, label(v))
    end
    return v, tree:add_le(fld, range)
end

local function add_int32(c, tree, fld, off)
    if not has(c, off, 4) then
        return nil
    end
    local range = c.tvb(off, 4)
    return range:le_int(), tree:add_le(fld, range)
end

-- A value the tool works out from the frame; `range` is what it comes from.
local function add_derived(tree, fld, range, v, label)
    local item = tree:add_le(fld, range, v, label)
    item:set_generated()
    return item
end

local function frequency_label(name)
    return function(v)
        return string.format("%s: %s (%d)", name, mhz(v), v)
    end
end

-- The byte the tool reads at `at`: the datagram's, zero past its end (the tool clears its
-- receive area behind each datagram); nil when the capture did not keep it.
local function tool_byte(c, at)
    if at >= c.len then
        return 0
    elseif at >= c.cap then
        return nil
    end
    return c.tvb(at, 1):uint()
end

-- The 16-bit value the tool reads at `off`, or nil when the capture cut it.
local function tool_u16(c, off)
    local low, high = tool_byte(c, off), tool_byte(c, off + 1)
    if low == nil or high == nil then
        return nil
    end
    return low + 256 * high
end

-- Marks a field that the capture ends in: the part of it that was captured, and no value.
local function mark_cut(c, tree, off, name)
    local item = off < c.cap and tree:add(f.cut, c.tvb(off, c.cap - off)) or tree:add(f.cut)
    item:set_text(name .. ": cut by the capture's snap length")
end

-- Flags a datagram that ends before `need` bytes and says what the tool does then.
local function need(c, n, consequence)
    if c.len >= n then
        return true
    end
    flag(c, c.tree, e.short, string.format("Datagram of %d bytes, the tool reads %d: %s",
        c.len, n, consequence))
    return false
end

-- Bytes from `off` up to `to` (default: the end of the datagram) that the tool does not read, as
-- far as they were captured.
local function add_unread(c, tree, off, to)
    local stop = math.min(to or c.len, c.len, c.cap)
    if off < stop then
        tree:add(f.unread, c.tvb(off, stop - off))
    end
end

-- A zero-terminated text at `off`, bounded as the tool bounds it: by its zero byte or by the end
-- of what the tool reads of the datagram. Returns the raw bytes, its range (zero byte included)
-- and its text for display; nil when nothing is left at `off`, and nil (the text marked as cut)
-- when the capture ends before the text does.
local function read_text(c, tree, off, name)
    local limit = math.min(c.len, RECEIVE_CAPACITY)
    if off >= limit then
        flag(c, tree, e.short, "Datagram ends before its text: the tool reads an empty text")
        return nil
    end
    local captured = math.min(limit, c.cap)
    local raw = off < captured and c.tvb:raw(off, captured - off) or ""
    local zero = raw:find("\0", 1, true)
    if zero == nil and captured < limit then
        mark_cut(c, tree, off, name)
        return nil
    end
    local n = zero and (zero - 1) or #raw
    local range = c.tvb(off, zero and n + 1 or n)
    local shown = ""
    if n > 0 then
        shown = c.tvb(off, n):string(ENC_ISO_8859_1)
    end
    return raw:sub(1, n), range, shown, zero ~= nil
end

local function add_text(c, tree, fld, off, name)
    local raw, range, shown, terminated = read_text(c, tree, off, name)
    if raw == nil then
        return nil
    end
    local item = tree:add(fld, range, shown)
    if not terminated then
        flag(c, item, e.no_zero, "Text without its zero byte: the tool ends it where its read "
            .. "of the datagram ends")
    end
    return raw, range, shown, item
end

-- The version text the tool shows goes to the Scanner page when it holds "Boot".
local function version_field(raw)
    if raw:find("Boot", 1, true) then
        return "Boot version (Scanner page)"
    end
    return "Microcode version (Advanced page)"
end

-- The piece of a version text that the tool shows: the second run between exclamation marks
-- (runs of marks count as one, leading ones are skipped), at most 199 characters; a text without
-- a second piece is shown whole. Returns its 0-based offset and length in `raw`.
local function version_piece(raw)
    local n = #raw
    local pos = 1
    while pos <= n and raw:byte(pos) == BANG do pos = pos + 1 end
    while pos <= n and raw:byte(pos) ~= BANG do pos = pos + 1 end
    while pos <= n and raw:byte(pos) == BANG do pos = pos + 1 end
    if pos > n then
        return 0, math.min(n, MAX_VERSION)
    end
    local stop = pos
    while stop <= n and raw:byte(stop) ~= BANG and stop - pos < MAX_VERSION do
        stop = stop + 1
    end
    return pos - 1, stop - pos
end

-- Adds what the tool shows of a version text that starts at `off`.
local function add_version_shown(c, tree, off, raw, range, whole)
    local start, n = 0, math.min(#raw, MAX_VERSION)
    if not whole then
        start, n = version_piece(raw)
    end
    local shown = ""
    local shown_range = range
    if n > 0 then
        shown_range = c.tvb(off + start, n)
        shown = shown_range:string(ENC_ISO_8859_1)
    end
    tree:add(f.version_shown, shown_range, shown):set_generated()
    tree:add(f.version_field, shown_range, version_field(raw:sub(start + 1, start + n)))
        :set_generated()
    return shown
end

-- ---- bodies ----

local scanner_bits = {
    f.scanner_ntsc_945, f.scanner_ntsc_682, f.scanner_palb_945, f.scanner_palb_682,
    f.scanner_pald_945, f.scanner_pald_682, f.scanner_other_945, f.scanner_other_682,
}

local function add_scanner(c, tree, off, n)
    local held = math.min(n, SCANNER_BYTES, c.len - off, c.cap - off)
    local sub = tree:add(f.scanner, c.tvb(off, held))
    local mask, mask_item = add_uint(c, sub, f.scanner_mask, off, 1)
    if mask then
        for _, bit in ipairs(scanner_bits) do
            mask_item:add(bit, c.tvb(off, 1))
        end
    end
    local second, second_item = add_uint(c, sub, f.scanner_second, off + 1, 1)
    if second == 0xFF then
        second_item:append_text(" (defaults: the Scanner page shows NTSC 9.45 Mbit/s only, "
            .. "whatever the mask)")
    elseif second then
        second_item:append_text(" (the Scanner page shows the mask)")
    end
    if mask then
        c.info[#c.info + 1] = string.format("mask 0x%02X", mask)
    end
    if second then
        c.info[#c.info + 1] = string.format("second 0x%02X", second)
    end
    add_unread(c, tree, off + SCANNER_BYTES, off + n)
end

local function add_table(c, tree, off, n)
    local held = math.min(n, c.len - off, TABLE_BYTES) -- what the datagram holds of the table
    local records = math.floor(held / 3)
    local captured = math.min(held, c.cap - off)
    local shown = math.floor(captured / 3)
    local sub = tree:add(f.table, c.tvb(off, captured))
    sub:append_text(string.format(" (%d of 10 channels)", records))
    if shown < records then
        sub:append_text(string.format(", %d of them captured", shown))
    end
    for k = 0, shown - 1 do
        local at = off + 3 * k
        local freq = c.tvb(at, 2):le_uint()
        local index = c.tvb(at + 2, 1):uint()
        local rec = sub:add(f.table_channel, c.tvb(at, 3))
        rec:set_text(string.format("Channel %d: %s, %s", k + 1, mhz(freq),
            rate_index_names[index] or "no bit rate"))
        rec:add_le(f.table_frequency, c.tvb(at, 2), freq,
            string.format("Frequency: %s (%d)", mhz(freq), freq))
        rec:add(f.table_rate_index, c.tvb(at + 2, 1))
    end
    c.info[#c.info + 1] = string.format("%d channels", records)
    add_unread(c, tree, off + 3 * records, off + n)
end

-- The data of a Get or Set: the channel table for item 0x62, the scanner parameters for any other
-- item (the tool tells only 0x62 from the rest).
local function add_item_data(c, tree, item, off, n)
    if n <= 0 or off >= c.len or off >= c.cap then
        return
    end
    local data = tree:add(f.data, c.tvb(off, math.min(n, c.len - off, c.cap - off)))
    if item == ITEM_TABLE then
        add_table(c, data, off, n)
    else
        add_scanner(c, data, off, n)
    end
end

local function add_item(c, tree, off)
    local item, it = add_uint(c, tree, f.item, off, 1)
    if item then
        if item ~= ITEM_TABLE and item ~= ITEM_SCANNER then
            it:append_text(" (taken as scanner parameters)")
        end
        c.info[#c.info + 1] = item_names[item] or string.format("item 0x%02X", item)
    end
    return item
end

local function body_size(item)
    return item == ITEM_TABLE and TABLE_BYTES or SCANNER_BYTES
end

local function get_request(c, tree)
    need(c, 14, "the modem sees no byte count")
    add_item(c, tree, 12)
    add_uint(c, tree, f.count, 13, 1)
    add_unread(c, tree, 14)
end

local function get_reply(c, tree)
    local item = add_item(c, tree, 12)
    local count_v, count_item = add_uint(c, tree, f.count, 13, 1)
    if count_v then
        count_item:append_text(" (not read by the tool)")
    end
    if item == nil then
        need(c, 14 + SCANNER_BYTES, "it drops the reply and sends the Get again")
        return
    end
    local size = body_size(item)
    need(c, 14 + size, "it drops the reply and sends the Get again")
    add_item_data(c, tree, item, 14, math.max(size, c.len - 14))
end

local function set_frame(c, tree, from_tool)
    local word, word_item = add_uint(c, tree, f.set_word, 12, 2)
    if word and not from_tool then
        word_item:append_text(" (not read by the tool)")
    end
    local item = add_item(c, tree, 14)
    local count, count_item = add_uint(c, tree, f.count, 15, 1)
    if from_tool then
        if count then
            c.expected_length = count + 4
            need(c, 16 + count, "the modem sees fewer data bytes than the count")
            add_item_data(c, tree, item, 16, count)
            add_unread(c, tree, 16 + count)
        else
            need(c, 16, "the modem sees no byte count")
        end
        return
    end
    if count then
        count_item:append_text(" (not read by the tool)")
    end
    if item == nil then
        need(c, 16 + SCANNER_BYTES, "it is no echo of the pending Set")
        return
    end
    local size = body_size(item)
    need(c, 16 + size, "it is no echo of the pending Set, which is sent again")
    add_item_data(c, tree, item, 16, math.max(size, c.len - 16))
end

local function set_request(c, tree) set_frame(c, tree, true) end
local function set_ack(c, tree) set_frame(c, tree, false) end

local function bodiless(c, tree)
    need(c, HEADER, "the modem sees no length word")
    add_unread(c, tree, HEADER)
end

local function statistics_report(c, tree)
    need(c, 46, "it reads 0 for the missing bytes")
    local period, period_item = add_uint(c, tree, f.stats_period, 12, 2, function(v)
        return string.format("Period: %d.%02d s (%d hundredths)", math.floor(v / 100), v % 100, v)
    end)
    if c.len >= 26 then
        add_unread(c, tree, 14, 26)
    end
    local counters = {
        { f.stats_tx_fragments, 26, 2 }, { f.stats_tx_packets, 28, 2 }, { f.stats_tx_bytes, 30, 4 },
        { f.stats_retransmitted, 34, 2 }, { f.stats_rx_forwarded, 36, 2 },
        { f.stats_rx_filtered, 38, 2 }, { f.stats_rx_bytes, 40, 4 }, { f.stats_grants, 44, 2 },
    }
    for _, ctr in ipairs(counters) do
        if ctr[3] == 4 then
            add_int32(c, tree, ctr[1], ctr[2])
        else
            add_uint(c, tree, ctr[1], ctr[2], 2)
        end
    end
    add_unread(c, tree, 46)
    if period == nil then
        return
    end
    c.info[#c.info + 1] = string.format("period %d.%02d s", math.floor(period / 100), period % 100)
    if period < 10 then
        flag(c, period_item, e.short_period, string.format(
            "Statistics period %d below 10: the tool ignores the report", period))
        return
    end
    -- The Tuner's level bars: the tool's own arithmetic, unsigned and truncating, with 0 for any
    -- counter the datagram cuts off; none for a counter that the capture cut off.
    local function rate(fld, name, off, plus)
        local count = tool_u16(c, off)
        if count == nil then
            return nil
        end
        local v = math.floor((count + plus) * 10 / period)
        local range = has(c, off, 2) and c.tvb(off, 2) or c.tvb(12, 2)
        add_derived(tree, fld, range, v, string.format("%s: %d", name, v))
        return v
    end
    local frag = rate(f.stats_tx_fragment_rate, "txFragmentRate", 26, 1)
    rate(f.stats_retransmit_rate, "retransmitRate", 34, 0)
    local rx = rate(f.stats_rx_packet_rate, "rxPacketRate", 36, 1)
    rate(f.stats_grant_rate, "grantRate", 44, 0)
    if frag and rx then
        c.info[#c.info + 1] = string.format("tx rate %d, rx rate %d", frag, rx)
    end
end

local function rate_code(c, tree, fld, off, name)
    local code, item = add_uint(c, tree, fld, off, 2, function(v)
        return string.format("%s: %d (%s)", name, v, rate_text(v))
    end)
    if code and code > 6 then
        flag(c, item, e.rate_code, string.format(
            "Bit-rate code %d has no bit rate: the tool shows \"?\"", code))
    end
    return code
end

local function rf_report(c, tree)
    need(c, 22, "it reads 0 for the missing bytes")
    local rx = add_uint(c, tree, f.rf_rx_frequency, 12, 2, frequency_label("Receive frequency"))
    local rx_code = rate_code(c, tree, f.rf_rx_rate_code, 14, "Receive bit-rate code")
    local tx = add_uint(c, tree, f.rf_tx_frequency, 16, 2, frequency_label("Transmit frequency"))
    local tx_code = rate_code(c, tree, f.rf_tx_rate_code, 18, "Transmit bit-rate code")
    local att = add_uint(c, tree, f.rf_attenuation, 20, 2)
    if rx then
        c.info[#c.info + 1] = "rx " .. mhz(rx) .. (rx_code and " " .. rate_text(rx_code) or "")
    end
    if tx then
        c.info[#c.info + 1] = "tx " .. mhz(tx) .. (tx_code and " " .. rate_text(tx_code) or "")
    end
    if att then
        local range = c.tvb(20, 2)
        add_derived(tree, f.rf_attenuation_dbmv, range, -2 * att,
            string.format("Attenuation: -%d dBmV", 2 * att))
        add_derived(tree, f.rf_tx_level, range, 16 - att,
            string.format("Transmit level (txLevel): %d", 16 - att))
        c.info[#c.info + 1] = string.format("attenuation %d (-%d dBmV)", att, 2 * att)
    end
    add_unread(c, tree, 22)
end

local function link_test_from_modem(c, tree)
    c.info[#c.info + 1] = "the tool answers at once with 1234567"
    add_unread(c, tree, HEADER)
end

local function link_test_value(c, tree, check)
    local v, item = add_uint(c, tree, f.linktest_value, 12, 4)
    if v then
        c.info[#c.info + 1] = string.format("value %d", v)
        if check and v ~= LINK_TEST_VALUE then
            flag(c, item, e.link_test_value, string.format(
                "Link-test answer %d, the tool sends 1234567", v))
        end
    end
    add_unread(c, tree, 16)
end

local function link_test_answer(c, tree)
    need(c, 16, "the answer lacks its value")
    c.info[#c.info + 1] = "answer"
    link_test_value(c, tree, true)
end

local function link_test_reply(c, tree)
    need(c, 16, "nothing visible happens either way")
    link_test_value(c, tree, false)
end

local function version_text(c, tree)
    local raw, range, shown = add_text(c, tree, f.version_text, 12, "Version text")
    if raw == nil then
        return
    end
    local piece = add_version_shown(c, tree, 12, raw, range, false)
    c.info[#c.info + 1] = '"' .. piece .. '"'
    add_unread(c, tree, 12 + range:len())
end

local function debug_message(c, tree)
    local sub, sub_item = add_uint(c, tree, f.debug_subtype, 12, 2)
    if sub == nil then
        need(c, 14, "it reads sub-type 0, an unknown one")
        return
    end
    c.info[#c.info + 1] = debug_names[sub] or string.format("sub-type %d", sub)
    if sub == 3 or sub == 6 then
        local fld = sub == 3 and f.debug_text or f.version_text
        local raw, range, shown = add_text(c, tree, fld, 14, sub == 3 and "Text" or "Version text")
        if raw == nil then
            return
        end
        if sub == 6 then
            shown = add_version_shown(c, tree, 14, raw, range, true)
        end
        c.info[#c.info + 1] = '"' .. shown .. '"'
        add_unread(c, tree, 14 + range:len())
    elseif sub == 7 then
        need(c, 18, "it reads 0 for the missing bytes")
        local rcv = add_uint(c, tree, f.debug_received, 14, 2)
        local lost = add_uint(c, tree, f.debug_lost, 16, 2)
        if rcv and lost then
            c.info[#c.info + 1] = string.format("received %d lost %d", rcv, lost)
        end
        add_unread(c, tree, 18)
    elseif sub == 9 then
        need(c, 22, "it reads 0 for the missing bytes")
        local map = add_uint(c, tree, f.debug_map, 14, 4)
        local gtr = add_uint(c, tree, f.debug_gtr, 18, 4)
        if map and gtr then
            -- 32-bit difference, wrapping, read as signed
            local diff = (map - gtr) % 4294967296
            if diff >= 2147483648 then
                diff = diff - 4294967296
            end
            add_derived(tree, f.debug_diff, c.tvb(14, 8), diff,
                string.format("DIFF (MAP - GTR): %d", diff))
            c.info[#c.info + 1] = string.format("MAP %X GTR %X DIFF %d", map, gtr, diff)
        end
        add_unread(c, tree, 22)
    else
        flag(c, sub_item, e.unknown_debug, string.format(
            "Unknown Debug Message (sub-type %d): an Error line in the tool's Console", sub))
        add_unread(c, tree, 14)
    end
end

local function tune_frequency(c, tree)
    need(c, 14, "the modem sees no frequency")
    local v = add_uint(c, tree, f.tune_frequency, 12, 2, frequency_label("Receive frequency"))
    if v then
        c.info[#c.info + 1] = mhz(v)
    end
    add_unread(c, tree, 14)
end

local function tune_channel(c, tree)
    need(c, 16, "the modem sees no frequency and bit-rate code")
    local v = add_uint(c, tree, f.tune_frequency, 12, 2, frequency_label("Receive frequency"))
    local code = rate_code(c, tree, f.tune_rate_code, 14, "Bit-rate code")
    if v then
        c.info[#c.info + 1] = mhz(v) .. (code and " " .. rate_text(code) or "")
    end
    add_unread(c, tree, 16)
end

local function query(c, tree)
    need(c, 14, "the modem sees no value")
    local v = add_uint(c, tree, f.query_value, 12, 2)
    if v then
        c.info[#c.info + 1] = string.format("value %d", v)
    end
    add_unread(c, tree, 14)
end

-- What each side sends: the body handler and, for the tool, the length word it puts in.
local requests = {
    [0] = { get_request, "Get request", 2 },
    [1] = { set_request, "Set request" }, -- count + 4
    [3] = { bodiless, "Statistics poll", 12 },
    [5] = { tune_frequency, "Tune command", 2 },
    [6] = { bodiless, "RF query", 12 },
    [8] = { query, "Periodic query", 2 },
    [9] = { query, "Periodic query", 2 },
    [10] = { link_test_answer, "Link-test answer", 12 },
    [15] = { bodiless, "Version poll", 12 },
    [18] = { tune_channel, "Tune command", 4 },
}
local replies = {
    [0] = { get_reply, "Get reply" },
    [1] = { set_ack, "Set acknowledgement" },
    [3] = { statistics_report, "Statistics report" },
    [4] = { statistics_report, "Statistics report" },
    [7] = { rf_report, "RF report" },
    [10] = { link_test_from_modem, "Link test" },
    [11] = { link_test_reply, "Link-test reply" },
    [15] = { version_text, "Version text" },
    [16] = { version_text, "Version text" },
    [17] = { debug_message, "Debug message" },
}

-- Ports that are not the tool's (Decode As): the direction the frame's shape suggests.
local function guess_direction(c, t)
    if t == 0 then
        return c.len == 14 and REQUEST or REPLY
    elseif t == 3 or t == 15 then
        return c.len <= HEADER and REQUEST or REPLY
    elseif t == 10 then
        return (has(c, 12, 4) and c.tvb(12, 4):le_uint() == LINK_TEST_VALUE) and REQUEST or REPLY
    elseif t == 1 or requests[t] then
        return REQUEST
    end
    return REPLY
end

local function port_direction(pinfo)
    local src, dst = pinfo.src_port, pinfo.dst_port
    if dst == MODEM_PORT then
        return REQUEST
    elseif dst == TOOL_PORT then
        return REPLY
    elseif src == MODEM_PORT then
        return REPLY
    elseif src == TOOL_PORT then
        return REQUEST
    end
    return nil
end

function brix.dissector(tvb, pinfo, root)
    local cap = tvb:len()
    local len = tvb:reported_len()
    if cap == 0 then
        return 0
    end
    pinfo.cols.protocol = "BRIX"
    local tree = root:add(brix, tvb())
    local c = { tvb = tvb, pinfo = pinfo, tree = tree, len = len, cap = cap, info = {} }

    if has(c, 0, 6) then
        tree:add(f.address, tvb(0, 6))
    end
    local magic, magic_item = add_uint(c, tree, f.magic, 6, 2)
    if magic and magic ~= MAGIC then
        flag(c, magic_item, e.bad_magic, string.format(
            "Magic 0x%04X is not 0x7779: the tool drops the frame", magic))
    end
    local t, type_item
    if has(c, 8, 2) then
        t = tvb(8, 2):le_int()
        type_item = tree:add_le(f.type, tvb(8, 2))
    end

    local dir = port_direction(pinfo)
    local guessed = false
    if t and dir == nil then
        dir = guess_direction(c, t)
        guessed = true
    end
    local entry
    if dir then
        local d = tree:add(f.direction, dir)
        d:set_text("Direction: " .. direction_names[dir])
        d:set_generated()
        if guessed then
            d:append_text(" (guessed from the frame: the ports are not the tool's)")
        end
        if t then
            entry = (dir == REQUEST and requests or replies)[t]
        end
    end

    local length, length_item = add_uint(c, tree, f.length, 10, 2)
    if length and dir == REPLY then
        length_item:append_text(" (not read by the tool)")
    end

    local name
    if t == nil and len >= 10 then
        name = "Frame"
    elseif t == nil then
        name = "Fragment"
        flag(c, tree, e.short, string.format("Datagram of %d bytes: %s", len, len < 8
            and "without a magic the tool drops it" or "without a type the tool dispatches nothing"))
    else
        name = type_names[t] or string.format("Type %d", t)
        if t < 0 or t > 18 then
            flag(c, type_item, e.unknown_type, string.format(
                "Message type %d outside 0..18: the tool only marks receive activity", t))
        end
    end
    if len > RECEIVE_CAPACITY then
        flag(c, tree, e.oversize, string.format(
            "Datagram of %d bytes: the tool reads only the first 1514", len))
    end

    local summary = name
    if dir then
        summary = summary .. (dir == REQUEST and " request" or " reply")
    end
    tree:append_text(", " .. summary)
    if entry then
        tree:append_text(" (" .. entry[2] .. ")")
        if dir == REQUEST then
            c.expected_length = entry[3]
        end
        entry[1](c, tree)
    elseif t and t >= 0 and t <= 18 and dir then
        local who = dir == REPLY and "the tool" or "the modem"
        flag(c, type_item, e.ignored, string.format(
            "Type %d %s: %s does nothing with it", t, dir == REPLY and "from the modem"
                or "from the tool", who))
        add_unread(c, tree, HEADER)
    elseif t then
        add_unread(c, tree, HEADER)
    end

    if length and c.expected_length and length ~= c.expected_length then
        length_item:add_le(f.length_expected, tvb(10, 2), c.expected_length):set_generated()
        flag(c, length_item, e.length, string.format(
            "Length word %d, the tool sends %d for this type", length, c.expected_length))
    end

    if cap < len then
        tree:add(f.cut):set_text(string.format("[Packet size limited during capture: %d of the "
            .. "datagram's %d bytes captured; the fields after them are not shown]", cap, len))
        c.info[#c.info + 1] = "[Packet size limited during capture]"
    end
    if #c.info > 0 then
        summary = summary .. ", " .. table.concat(c.info, ", ")
    end
    pinfo.cols.info = summary
    return cap
end

local udp_port = DissectorTable.get("udp.port")
udp_port:add(TOOL_PORT, brix)
udp_port:add(MODEM_PORT, brix)
-- Offered in Decode As for every other UDP port (older versions list it from the add above).
pcall(function() udp_port:add_for_decode_as(brix) end)
