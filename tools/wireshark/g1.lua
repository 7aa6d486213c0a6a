-- Wireshark dissector for the G1 telemetry datagram: the 13 fields by name, each as the value in
-- the host's units (time in seconds) with its raw integer, and, for a datagram the strict parser
-- refuses, an expert item naming the field and byte exactly as `g1 listen` does.
-- Load with `wireshark -X lua_script:g1.lua`, or copy into the personal Lua plugins folder.
-- Each datagram is shown on its own: the time is its field's, which starts over about every
-- 71.6 minutes (g1 listen keeps a running count), and an empty payload, reaching no dissector,
-- shows as bare UDP.
-- The rules mirror plugin/telemetry/g1_parse.cpp and docs/g1-format.md; change them together.

local G1_PORT = 50010
local G1_TAG = "G1,"
local G1_FIELD_COUNT = 13
local G1_MAX_LENGTH = 159
local INT32_LIMIT = 2147483648 -- one past the largest signed 32-bit value

local BYTE_0, BYTE_9 = string.byte("0"), string.byte("9")
local BYTE_MINUS, BYTE_COMMA = string.byte("-"), string.byte(",")

-- Column names as `g1 listen --csv` writes them, what a person reads, and the divisor: the
-- field table of plugin/telemetry/g1_field_table.h, which the dissector test holds this to.
local FIELDS = {
    { "time_s", "Time", 1000000 },
    { "velocity_x", "Velocity x", 1000 },
    { "velocity_y", "Velocity y", 1000 },
    { "velocity_z", "Velocity z", 1000 },
    { "bank", "Bank", 1000 },
    { "pitch", "Pitch", 1000 },
    { "true_heading", "True heading", 1000 },
    { "angular_velocity_x", "Angular velocity x", 1000 },
    { "angular_velocity_y", "Angular velocity y", 1000 },
    { "angular_velocity_z", "Angular velocity z", 1000 },
    { "acceleration_x", "Acceleration x", 1000 },
    { "acceleration_y", "Acceleration y", 1000 },
    { "acceleration_z", "Acceleration z", 1000 },
}

-- What the packet list shows of a datagram, by name.
local INFO_NAMES = { "time_s", "bank", "pitch", "true_heading" }
local INFO_FIELDS = {}
for _, name in ipairs(INFO_NAMES) do
    for i, f in ipairs(FIELDS) do
        if f[1] == name then table.insert(INFO_FIELDS, i) end
    end
end

-- The parser's refusals, worded as g1_parse_reason words them.
local REFUSAL = {
    too_long = "longer than 159 bytes",
    no_tag = "does not start with \"G1,\"",
    empty = "empty",
    unexpected = "unexpected character",
    leading_zero = "leading zero",
    negative_zero = "\"-0\" is not written for zero",
    out_of_range = "outside the signed 32-bit range",
    missing_comma = "not ended by a comma",
    too_few = "fewer than 13 fields",
    too_many = "more than 13 fields",
}

local g1 = Proto("g1", "G1 telemetry")

local pf_tag = ProtoField.string("g1.tag", "Tag")
local pf_value, pf_raw = {}, {}
for i, f in ipairs(FIELDS) do
    pf_value[i] = ProtoField.double("g1." .. f[1], f[2],
        "Field " .. i .. ": the raw integer divided by " .. f[3])
    pf_raw[i] = ProtoField.int32("g1." .. f[1] .. ".raw", f[2] .. " (raw)", base.DEC, nil, nil,
        "Field " .. i .. " as sent")
end
local pf_error = ProtoField.string("g1.error", "Malformed", "Why the strict parser refuses it")
local pf_error_field = ProtoField.uint8("g1.error.field", "Field", base.DEC, nil, nil,
    "1 to 13; 0: none in particular")
local pf_error_byte = ProtoField.uint32("g1.error.byte", "Byte", base.DEC, nil, nil,
    "Offset where the fault was found")

g1.fields = { pf_tag, pf_error, pf_error_field, pf_error_byte }
for i = 1, G1_FIELD_COUNT do
    table.insert(g1.fields, pf_value[i])
    table.insert(g1.fields, pf_raw[i])
end

local ef_malformed = ProtoExpert.new("g1.malformed", "Malformed G1 datagram",
    expert.group.MALFORMED, expert.severity.ERROR)
g1.experts = { ef_malformed }

local function is_digit(b)
    return b ~= nil and b >= BYTE_0 and b <= BYTE_9
end

local function refuse(kind, field, offset)
    return nil, { kind = kind, field = field, offset = offset }
end

-- The strict parse of g1_parse, offsets counted from 0. Gives the 13 fields, each
-- { value, offset, length }, or nil and the refusal.
local function parse(text)
    local n = #text
    local function at_byte(i) return text:byte(i + 1) end
    if n > G1_MAX_LENGTH then
        return refuse("too_long", 0, G1_MAX_LENGTH)
    end
    if text:sub(1, #G1_TAG) ~= G1_TAG then
        return refuse("no_tag", 0, 0)
    end
    local fields = {}
    local at = #G1_TAG
    for number = 1, G1_FIELD_COUNT do
        if at == n then
            return refuse("too_few", number, at)
        end
        local start = at
        local negative = at_byte(at) == BYTE_MINUS
        if negative then at = at + 1 end
        local first_digit = at
        local magnitude = 0
        while at < n and is_digit(at_byte(at)) do
            if at > first_digit and at_byte(first_digit) == BYTE_0 then
                return refuse("leading_zero", number, first_digit)
            end
            magnitude = magnitude * 10 + (at_byte(at) - BYTE_0)
            if magnitude > INT32_LIMIT then
                return refuse("out_of_range", number, start)
            end
            at = at + 1
        end
        if at == first_digit then
            -- A field that ends before its first digit: at the end, at a comma or elsewhere.
            if at == n then
                return refuse(negative and "missing_comma" or "too_few", number, at)
            end
            if at_byte(at) == BYTE_COMMA and not negative then
                return refuse("empty", number, at)
            end
            return refuse("unexpected", number, at)
        end
        if at == n then
            return refuse("missing_comma", number, at)
        end
        if at_byte(at) ~= BYTE_COMMA then
            return refuse("unexpected", number, at)
        end
        if negative and magnitude == 0 then
            return refuse("negative_zero", number, start)
        end
        local value = negative and -magnitude or magnitude
        if value >= INT32_LIMIT then
            return refuse("out_of_range", number, start)
        end
        fields[number] = { value = value, offset = start, length = at - start }
        at = at + 1
    end
    if at ~= n then
        local b = at_byte(at)
        return refuse((is_digit(b) or b == BYTE_MINUS) and "too_many" or "unexpected", 0, at)
    end
    return fields
end

local function reason_of(refusal)
    local where = refusal.field ~= 0 and ("field " .. refusal.field .. ": ") or ""
    return where .. REFUSAL[refusal.kind] .. " (byte " .. refusal.offset .. ")"
end

-- The byte a refusal points at; past the end (a missing comma) it is the last byte there is.
local function range_at(tvb, offset)
    if offset < tvb:len() then return tvb(offset, 1) end
    if tvb:len() > 0 then return tvb(tvb:len() - 1, 1) end
    return tvb(0, 0)
end

local function show_refusal(tvb, pinfo, tree, refusal)
    local reason = reason_of(refusal)
    local place = range_at(tvb, refusal.offset)
    local item = tree:add(pf_error, place, reason)
    item:add(pf_error_field, place, refusal.field)
    item:add(pf_error_byte, place, refusal.offset)
    item:add_tvb_expert_info(ef_malformed, place, "Malformed G1 datagram: " .. reason)
    pinfo.cols.info:set("Malformed G1 datagram: " .. reason)
end

local function show_fields(tvb, pinfo, tree, fields)
    tree:add(pf_tag, tvb(0, #G1_TAG))
    local info = {}
    for i, f in ipairs(fields) do
        local scale = FIELDS[i][3]
        local place = tvb(f.offset, f.length)
        local item = tree:add(pf_value[i], place, f.value / scale)
        if FIELDS[i][1] == "time_s" then item:append_text(" s") end
        item:add(pf_raw[i], place, f.value)
    end
    for _, i in ipairs(INFO_FIELDS) do
        table.insert(info, FIELDS[i][2]:lower() .. " " .. fields[i].value / FIELDS[i][3])
    end
    info[1] = info[1] .. " s" -- the time, named first
    pinfo.cols.info:set(table.concat(info, ", "))
end

function g1.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol:set("G1")
    local subtree = tree:add(g1, tvb())
    local fields, refusal = parse(tvb:raw())
    if fields then
        show_fields(tvb, pinfo, subtree, fields)
    else
        show_refusal(tvb, pinfo, subtree, refusal)
    end
    return tvb:len()
end

-- On another port, a payload that starts with the tag is taken to be G1.
local function heuristic(tvb, pinfo, tree)
    if tvb:len() < #G1_TAG or tvb:raw(0, #G1_TAG) ~= G1_TAG then
        return false
    end
    g1.dissector(tvb, pinfo, tree)
    return true
end

DissectorTable.get("udp.port"):add(G1_PORT, g1)
g1:register_heuristic("udp", heuristic)
