-- Wireshark dissector for the two file-transfer protocols of this project:
--   tkxfer  the ticket protocol (gatekeep, server, client)
--   pwxfer  the password protocol (the lockbox builds, latchkey-badjoin)
-- Both run over UDP. A heuristic claims a datagram only when its type field and its size fit one
-- of the messages (every message has a fixed size); "Decode As" and the port preferences claim
-- whole ports instead.
--
-- Given the client key, the server key or both (16 hex digits, as on the command lines), it
-- unseals what they open: the AS_REP body and, through it, the session key of that run; the
-- Ticket inside an AP_REQ; with a session key, the Authenticator, the AP_REP answer and every
-- KRB_PRV inner message. DES comes from lua-luaossl; without it the clear fields are still shown
-- and the sealed parts are marked as sealed. Where no key preference is set, keys are read from
-- packet comments of the form "tkxfer.client_key=<16 hex digits> tkxfer.server_key=<16 hex
-- digits>", which peercheck writes on the first packet of each capture it saves.
--
-- Every offset in this file, in code and in comments, counts from 0 at the first byte of its
-- datagram or unsealed part, as Tvb ranges do; at() takes such an offset and a length to the
-- bytes of a Lua string, whose own positions count from 1. The offsets are those of the layout
-- declared in common/ticket_msg.h and common/pass_msg.h.

local tk = Proto("tkxfer", "Ticket file transfer")
local pw = Proto("pwxfer", "Password file transfer")

-- OpenSSL 3's default provider has no single DES, but three-key DES with the same 8 bytes three
-- times is exactly single DES, in every mode.
local have_cipher, cipher = pcall(require, "openssl.cipher")
local have_digest, digest = pcall(require, "openssl.digest")
local have_crypto = have_cipher and have_digest

---------------------------------------------------------------------------------------- helpers

local function at(s, off, len) return s:sub(off + 1, off + len) end
local function be16(s, off) return s:byte(off + 1) * 256 + s:byte(off + 2) end
local function le32(s, off)
    local a, b, c, d = s:byte(off + 1, off + 4)
    return a + b * 0x100 + c * 0x10000 + d * 0x1000000
end
local function as_int32(v) if v >= 0x80000000 then return v - 0x100000000 end return v end
local function rounded(n) return math.ceil(n / 8) * 8 end

-- Text fields travel as the text followed by zero bytes; show them up to the first zero.
local function text_of(s)
    local z = s:find("\0", 1, true)
    if z then return at(s, 0, z - 1) end
    return s
end

local function hex(s)
    return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

local function key_from_pref(text)
    local digits = (text or ""):gsub("[%s:]", "")
    if not digits:match("^%x+$") or #digits ~= 16 then return nil end
    return (digits:gsub("%x%x", function(p) return string.char(tonumber(p, 16)) end))
end

-- The peers accept a DES key only with odd parity in every byte; an unsealed session key without
-- it almost always means that a long-term key preference is wrong.
local function odd_parity(key)
    for i = 1, #key do
        local b, ones = key:byte(i), 0
        while b > 0 do ones, b = ones + b % 2, math.floor(b / 2) end
        if ones % 2 == 0 then return false end
    end
    return true
end

local kIv = "\x5A\xC3\xE1\x0F\x7B\x24\x96\xD8"

-- Every sealed part starts again from the protocol IV. Decrypts length rounded up to whole blocks
-- and yields length bytes, as the peers do.
local function unseal(key, sealed, length)
    local n = rounded(length)
    if not have_crypto or not key or n == 0 or #sealed < n then return nil end
    local c = cipher.new("DES-EDE3-CBC")
    c:decrypt(key .. key .. key, kIv, false)
    return at(c:final(at(sealed, 0, n)), 0, length)
end

local function new_sha1()
    if have_crypto then return digest.new("sha1") end
    return nil
end

-- Datagrams of one UDP conversation, whichever way they go.
local function conv_key(pinfo)
    local a = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local b = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    if a < b then return a .. "|" .. b end
    return b .. "|" .. a
end

local function date_text(secs) return os.date("!%Y-%m-%d %H:%M:%S UTC", secs) end

-- A range of a Lua string shown as its own data source, so unsealed fields can be selected.
local function unsealed_tvb(bytes, label) return ByteArray.new(bytes, true):tvb(label) end

-------------------------------------------------------------------------- ticket protocol: layout

local TK = { AS_REQ = 1, AS_REP = 2, AS_ERR = 3, AP_REQ = 4, AP_REP = 5, AP_ERR = 6, KRB_PRV = 7 }
local tk_names = { [1] = "AS_REQ", [2] = "AS_REP", [3] = "AS_ERR", [4] = "AP_REQ", [5] = "AP_REP",
                   [6] = "AP_ERR", [7] = "KRB_PRV" }
local tk_sizes = { [1] = 88, [2] = 172, [3] = 42, [4] = 158, [5] = 24, [6] = 42, [7] = 988 }
local INNER = { APP_DATA_REQ = 14, APP_DATA = 15, APP_TERMINATE = 16 }
local inner_names = { [14] = "APP_DATA_REQ", [15] = "APP_DATA", [16] = "APP_TERMINATE" }
local kInnerSize, kChunk = 978, 972

local tf = {
    type = ProtoField.uint16("tkxfer.type", "Type", base.DEC, tk_names),
    run = ProtoField.uint32("tkxfer.run", "Run", base.DEC, nil, nil,
                            "Datagrams carrying the same Ticket, numbered in capture order"),
    key_frame = ProtoField.framenum("tkxfer.key_frame", "Key from the comment of frame", base.NONE,
                                    frametype.NONE, 0,
                                    "The long-term key came from a packet comment, not a preference"),
}
local as_req = {
    client_id = ProtoField.string("tkxfer.as_req.client_id", "Client ID"),
    server_id = ProtoField.string("tkxfer.as_req.server_id", "Server ID"),
}
local as_rep = {
    length = ProtoField.uint16("tkxfer.as_rep.length", "Sealed body length"),
    sealed = ProtoField.bytes("tkxfer.as_rep.sealed", "Sealed body"),
}
local as_err = { client_id = ProtoField.string("tkxfer.as_err.client_id", "Client ID") }
local ap_req = {
    ticket_length = ProtoField.uint16("tkxfer.ap_req.ticket_length", "Ticket length"),
    auth_length = ProtoField.uint16("tkxfer.ap_req.auth_length", "Authenticator length"),
    ticket = ProtoField.bytes("tkxfer.ap_req.ticket", "Sealed Ticket"),
    auth = ProtoField.bytes("tkxfer.ap_req.auth", "Sealed Authenticator"),
}
local ap_rep = {
    length = ProtoField.uint16("tkxfer.ap_rep.length", "Sealed answer length"),
    sealed = ProtoField.bytes("tkxfer.ap_rep.sealed", "Sealed answer"),
    text = ProtoField.string("tkxfer.ap_rep.text", "Answer text"),
    answer = ProtoField.int32("tkxfer.ap_rep.answer", "Answer"),
    expected = ProtoField.int32("tkxfer.ap_rep.expected", "Nonce plus one"),
}
local ap_err = { client_id = ProtoField.string("tkxfer.ap_err.client_id", "Client ID") }
local krb_prv = {
    length = ProtoField.uint16("tkxfer.krb_prv.length", "Inner message length"),
    sealed = ProtoField.bytes("tkxfer.krb_prv.sealed", "Sealed inner message"),
}
local body = {
    session_key = ProtoField.bytes("tkxfer.body.session_key", "Session key"),
    server_id = ProtoField.string("tkxfer.body.server_id", "Server ID"),
    timestamp = ProtoField.absolute_time("tkxfer.body.timestamp", "Timestamp", base.UTC),
    lifetime = ProtoField.uint16("tkxfer.body.lifetime", "Lifetime (s)"),
    valid_until = ProtoField.absolute_time("tkxfer.body.valid_until", "Valid until", base.UTC),
    ticket_length = ProtoField.uint16("tkxfer.body.ticket_length", "Ticket length"),
    ticket = ProtoField.bytes("tkxfer.body.ticket", "Sealed Ticket"),
}
local ticket = {
    session_key = ProtoField.bytes("tkxfer.ticket.session_key", "Session key"),
    client_id = ProtoField.string("tkxfer.ticket.client_id", "Client ID"),
    client_addr = ProtoField.ipv4("tkxfer.ticket.client_addr", "Client address"),
    server_id = ProtoField.string("tkxfer.ticket.server_id", "Server ID"),
    timestamp = ProtoField.absolute_time("tkxfer.ticket.timestamp", "Timestamp", base.UTC),
    lifetime = ProtoField.uint16("tkxfer.ticket.lifetime", "Lifetime (s)"),
    valid_until = ProtoField.absolute_time("tkxfer.ticket.valid_until", "Valid until", base.UTC),
}
local auth = {
    client_id = ProtoField.string("tkxfer.auth.client_id", "Client ID"),
    client_addr = ProtoField.ipv4("tkxfer.auth.client_addr", "Client address"),
    nonce = ProtoField.uint32("tkxfer.auth.nonce", "Nonce"),
}
local inner = {
    type = ProtoField.uint16("tkxfer.inner.type", "Inner type", base.DEC, inner_names),
    data_length = ProtoField.uint16("tkxfer.inner.data_length", "Data length"),
    packet_id = ProtoField.uint16("tkxfer.inner.packet_id", "Packet id"),
    data = ProtoField.bytes("tkxfer.inner.data", "Data"),
    digest = ProtoField.bytes("tkxfer.inner.digest", "File digest"),
    digest_ok = ProtoField.bool("tkxfer.inner.digest_ok", "Digest matches the data seen"),
}

local function field_list(...)
    local list = {}
    for _, group in ipairs({ ... }) do
        for _, field in pairs(group) do list[#list + 1] = field end
    end
    return list
end
tk.fields = field_list(tf, as_req, as_rep, as_err, ap_req, ap_rep, ap_err, krb_prv, body, ticket,
                       auth, inner)

local tx = {
    length = ProtoExpert.new("tkxfer.length_beyond_area", "Length field does not fit its area",
                             expert.group.MALFORMED, expert.severity.ERROR),
    size = ProtoExpert.new("tkxfer.size", "Datagram size does not fit its type",
                           expert.group.MALFORMED, expert.severity.ERROR),
    packet_id = ProtoExpert.new("tkxfer.packet_id_unexpected", "Packet id gap or repeat",
                                expert.group.SEQUENCE, expert.severity.WARN),
    digest = ProtoExpert.new("tkxfer.digest_mismatch", "Digest does not match the data seen",
                             expert.group.CHECKSUM, expert.severity.WARN),
    expired = ProtoExpert.new("tkxfer.expired", "Session key expired at the time of capture",
                              expert.group.SECURITY, expert.severity.WARN),
    answer = ProtoExpert.new("tkxfer.wrong_answer", "AP_REP answer is not the nonce plus one",
                             expert.group.PROTOCOL, expert.severity.WARN),
    mismatch = ProtoExpert.new("tkxfer.auth_mismatch", "Authenticator differs from the Ticket",
                               expert.group.SECURITY, expert.severity.WARN),
    parity = ProtoExpert.new("tkxfer.bad_key", "Unsealed session key has wrong parity",
                             expert.group.DECRYPTION, expert.severity.WARN),
    refusal = ProtoExpert.new("tkxfer.refusal", "Peer refuses the exchange",
                              expert.group.SEQUENCE, expert.severity.NOTE),
    sealed = ProtoExpert.new("tkxfer.sealed", "Sealed part not unsealed",
                             expert.group.UNDECODED, expert.severity.CHAT),
}
tk.experts = { tx.length, tx.size, tx.packet_id, tx.digest, tx.expired, tx.answer, tx.mismatch,
               tx.parity, tx.refusal, tx.sealed }

tk.prefs.client_key = Pref.string("Client key", "",
    "16 hex digits shared by client and gatekeep: unseals the AS_REP body and the session key")
tk.prefs.server_key = Pref.string("Server key", "",
    "16 hex digits shared by server and gatekeep: unseals the Ticket inside each AP_REQ")
tk.prefs.heuristic = Pref.bool("Recognise by type and size", true,
    "Try every UDP datagram whose type and size fit a message of the protocol")
tk.prefs.ports = Pref.range("UDP ports", "", "Ports always decoded as this protocol", 65535)

------------------------------------------------------------------- ticket protocol: run state

-- Filled on the first pass in capture order and read on every later one, so that a datagram
-- shows the same verdicts however often and in whatever order it is dissected again.
local tk_state

local function tk_reset()
    tk_state = {
        runs = 0,
        by_ticket = {}, -- sealed Ticket bytes -> run: the client's two sockets share it
        by_conv = {},   -- UDP conversation -> the run of its latest AP_REQ
        frames = {},    -- frame number -> what the first pass found
    }
end
tk_reset()

local function run_for_ticket(sealed_ticket)
    local run = tk_state.by_ticket[sealed_ticket]
    if not run then
        tk_state.runs = tk_state.runs + 1
        run = { id = tk_state.runs }
        tk_state.by_ticket[sealed_ticket] = run
    end
    return run
end

-- Packet comments may carry the long-term keys, as peercheck writes them on the first packet of
-- a capture. They are collected on the first pass, in capture order, with the frame they stand
-- on; a datagram uses those of the last such frame at or before it. So every later pass, in
-- whatever order, finds the keys the first pass did, and a merge of several captures keeps each
-- case's keys with its own datagrams.
local comment_field = Field.new("frame.comment")
local comment_keys = {}

local function learn_comment_keys(pinfo)
    local last = comment_keys[#comment_keys]
    if pinfo.visited or (last and last.frame == pinfo.number) then return end
    local found = { frame = pinfo.number }
    for _, comment in ipairs({ comment_field() }) do
        local text = comment.value
        found.client = found.client or key_from_pref(text:match("tkxfer%.client_key=(%x+)"))
        found.server = found.server or key_from_pref(text:match("tkxfer%.server_key=(%x+)"))
    end
    if found.client or found.server then comment_keys[#comment_keys + 1] = found end
end

-- Reads every frame's comments, also of datagrams that neither protocol claims (random bytes
-- first, or a port that another protocol owns); it adds nothing to the tree.
local comment_reader = Proto("tkxfer_keys", "Ticket file transfer keys in packet comments")
function comment_reader.dissector(tvb, pinfo, tree) learn_comment_keys(pinfo) end
register_postdissector(comment_reader)

-- The client key and the server key for this datagram, each from its preference or else from
-- a packet comment; then the frames of the comments each came from (nil for a preference).
local function keys(pinfo)
    local client, server = key_from_pref(tk.prefs.client_key), key_from_pref(tk.prefs.server_key)
    local found
    for i = #comment_keys, 1, -1 do
        if comment_keys[i].frame <= pinfo.number then
            found = comment_keys[i]
            break
        end
    end
    if not found then return client, server end
    local client_frame = not client and found.client and found.frame or nil
    local server_frame = not server and found.server and found.frame or nil
    return client or found.client, server or found.server, client_frame, server_frame
end

local function add_key_frame(tree, frame)
    if frame then tree:add(tf.key_frame, frame):set_generated() end
end

local function sealed_note(item, why)
    item:add_proto_expert_info(tx.sealed, "Sealed: " .. why)
end

local function why_sealed(pref_name)
    if not have_crypto then return "lua-luaossl is not available" end
    return "no valid " .. pref_name .. " preference (16 hex digits), nor one in a packet comment"
end

local function why_no_session_key(run)
    if not have_crypto then return "lua-luaossl is not available" end
    if run and run.key then return "length field 0" end
    return "session key unknown: set the client key or the server key"
end

-- Timestamp, lifetime and the derived end of validity, checked against the capture time.
local function add_validity(tree, fields, u, ts_off, lt_off, pinfo)
    local ts, lifetime = le32(u:raw(), ts_off), be16(u:raw(), lt_off)
    tree:add(fields.timestamp, u(ts_off, 4), NSTime.new(ts, 0))
    tree:add(fields.lifetime, u(lt_off, 2))
    local until_ = (ts + lifetime) % 0x100000000
    local item = tree:add(fields.valid_until, NSTime.new(until_, 0))
    item:set_generated()
    if pinfo.abs_ts >= until_ then
        item:add_proto_expert_info(tx.expired, "Session key expired at " .. date_text(until_))
    end
    return until_
end

-- The run's number, and whether its session key had expired when this datagram was captured.
local function add_run(tree, run, pinfo)
    if not run then return end
    local item = tree:add(tf.run, run.id)
    item:set_generated()
    if run.valid_until and pinfo.abs_ts >= run.valid_until then
        item:add_proto_expert_info(tx.expired, "Session key expired at " ..
                                   date_text(run.valid_until))
    end
end

local function add_session_key(tree, field, u)
    local item = tree:add(field, u(0, 8))
    if not odd_parity(u:raw(0, 8)) then item:add_proto_expert_info(tx.parity) end
end

----------------------------------------------------------------- ticket protocol: one per type

local function tk_as_req(tvb, pinfo, tree)
    tree:add(as_req.client_id, tvb(2, 40), text_of(tvb:raw(2, 40)))
    tree:add(as_req.server_id, tvb(42, 40), text_of(tvb:raw(42, 40)))
    return string.format("AS_REQ client=%s server=%s", text_of(tvb:raw(2, 40)),
                         text_of(tvb:raw(42, 40)))
end

local function tk_as_rep(tvb, pinfo, tree)
    local length = tvb(2, 2):uint()
    local len_item = tree:add(as_rep.length, tvb(2, 2))
    local sealed_item = tree:add(as_rep.sealed, tvb(4, 168))
    -- The body area is 168 bytes; the client refuses a longer length.
    if length > 168 then
        len_item:add_proto_expert_info(tx.length, "Length " .. length .. " exceeds the body's 168")
        length = 168
    end
    local client_key, _, client_frame = keys(pinfo)
    local plain = unseal(client_key, tvb:raw(4, 168), length)
    if not plain then
        sealed_note(sealed_item, why_sealed("client key"))
        return "AS_REP"
    end
    plain = plain .. string.rep("\0", 168 - #plain)
    local u = unsealed_tvb(plain, "Unsealed AS_REP body")
    local t = tree:add(u(), "AS_REP body (unsealed with the client key)")
    add_key_frame(t, client_frame)
    add_session_key(t, body.session_key, u)
    t:add(body.server_id, u(8, 40), text_of(at(plain, 8, 40)))
    local valid_until = add_validity(t, body, u, 48, 52, pinfo)
    t:add(body.ticket_length, u(56, 2))
    t:add(body.ticket, u(60, 104))
    local run = run_for_ticket(at(plain, 60, 104))
    if not pinfo.visited then
        run.key, run.valid_until = at(plain, 0, 8), valid_until
        tk_state.frames[pinfo.number] = { run = run }
    end
    tree:add(tf.run, run.id):set_generated()
    return "AS_REP session key " .. hex(at(plain, 0, 8))
end

local function tk_error(fields)
    return function(tvb, pinfo, tree)
        local id = text_of(tvb:raw(2, 40))
        tree:add(fields.client_id, tvb(2, 40), id):add_proto_expert_info(tx.refusal)
        local name = tk_names[tvb(0, 2):uint()]
        if id == "" then return name end
        return name .. " client=" .. id
    end
end

local function tk_ap_req(tvb, pinfo, tree)
    local tlen, alen = tvb(2, 2):uint(), tvb(4, 2):uint()
    local tlen_item = tree:add(ap_req.ticket_length, tvb(2, 2))
    local alen_item = tree:add(ap_req.auth_length, tvb(4, 2))
    local ticket_item = tree:add(ap_req.ticket, tvb(6, 104))
    local auth_item = tree:add(ap_req.auth, tvb(110, 48))
    -- The server refuses lengths past the 104-byte Ticket and the 48-byte Authenticator areas.
    if tlen > 104 then
        tlen_item:add_proto_expert_info(tx.length, "Ticket length " .. tlen .. " exceeds 104")
        tlen = 104
    end
    if alen > 48 then
        alen_item:add_proto_expert_info(tx.length, "Authenticator length " .. alen .. " exceeds 48")
        alen = 48
    end

    local run = run_for_ticket(tvb:raw(6, 104))
    if not pinfo.visited then
        tk_state.by_conv[conv_key(pinfo)] = run
        tk_state.frames[pinfo.number] = { run = run }
    end

    local _, server_key, _, server_frame = keys(pinfo)
    local tplain = unseal(server_key, tvb:raw(6, 104), tlen)
    local facts
    if tplain then
        tplain = tplain .. string.rep("\0", 104 - #tplain)
        local u = unsealed_tvb(tplain, "Unsealed Ticket")
        local t = tree:add(u(0, 100), "Ticket (unsealed with the server key)")
        add_key_frame(t, server_frame)
        add_session_key(t, ticket.session_key, u)
        t:add(ticket.client_id, u(8, 40), text_of(at(tplain, 8, 40)))
        t:add(ticket.client_addr, u(48, 4))
        t:add(ticket.server_id, u(52, 40), text_of(at(tplain, 52, 40)))
        local valid_until = add_validity(t, ticket, u, 92, 96, pinfo)
        facts = { id = at(tplain, 8, 40), addr = at(tplain, 48, 4) }
        if not pinfo.visited and not run.key then
            run.key, run.valid_until = at(tplain, 0, 8), valid_until
        end
        tree:add(tf.run, run.id):set_generated()
    else
        sealed_note(ticket_item, why_sealed("server key"))
        add_run(tree, run, pinfo)
    end

    local aplain = unseal(run.key, tvb:raw(110, 48), alen)
    if not aplain then
        sealed_note(auth_item, why_no_session_key(run))
        return "AP_REQ"
    end
    aplain = aplain .. string.rep("\0", 48 - #aplain)
    local u = unsealed_tvb(aplain, "Unsealed Authenticator")
    local a = tree:add(u(), "Authenticator (unsealed with the session key)")
    local id_item = a:add(auth.client_id, u(0, 40), text_of(at(aplain, 0, 40)))
    local addr_item = a:add(auth.client_addr, u(40, 4))
    local nonce = le32(aplain, 44)
    a:add_le(auth.nonce, u(44, 4)):append_text(" (" .. date_text(nonce) .. ")")
    if not pinfo.visited then run.nonce = nonce end
    -- The server compares all 40 ID bytes and the 4 address bytes of the two records.
    if facts and facts.id ~= at(aplain, 0, 40) then
        id_item:add_proto_expert_info(tx.mismatch, "Client ID differs from the Ticket's")
    end
    if facts and facts.addr ~= at(aplain, 40, 4) then
        addr_item:add_proto_expert_info(tx.mismatch, "Client address differs from the Ticket's")
    end
    return "AP_REQ client=" .. text_of(at(aplain, 0, 40)) .. " nonce=" .. nonce
end

local function frame_run(pinfo)
    if not pinfo.visited then
        tk_state.frames[pinfo.number] = { run = tk_state.by_conv[conv_key(pinfo)] }
    end
    local st = tk_state.frames[pinfo.number]
    return st and st.run, st
end

local function tk_ap_rep(tvb, pinfo, tree)
    local length = tvb(2, 2):uint()
    local len_item = tree:add(ap_rep.length, tvb(2, 2))
    local sealed_item = tree:add(ap_rep.sealed, tvb(4, 20))
    -- Twenty bytes follow the length field: room for two sealed blocks.
    if rounded(length) > 16 then
        len_item:add_proto_expert_info(tx.length, "Length " .. length .. " exceeds 16 sealed bytes")
        length = 16
    end
    local run, st = frame_run(pinfo)
    if not pinfo.visited and run then st.nonce = run.nonce end
    add_run(tree, run, pinfo)
    local plain = unseal(run and run.key, tvb:raw(4, 20), length)
    if not plain then
        sealed_note(sealed_item, why_no_session_key(run))
        return "AP_REP"
    end
    local u = unsealed_tvb(plain, "Unsealed AP_REP answer")
    local text = text_of(plain)
    local a = tree:add(u(), "Answer (unsealed with the session key)")
    a:add(ap_rep.text, u(0, #text), text)
    local value = tonumber(text:match("^%s*([+-]?%d+)") or "")
    if not value then return "AP_REP answer=" .. text end
    local item = a:add(ap_rep.answer, u(0, #text), as_int32(value % 0x100000000))
    if st and st.nonce then
        local expected = as_int32((st.nonce + 1) % 0x100000000)
        a:add(ap_rep.expected, expected):set_generated()
        if as_int32(value % 0x100000000) ~= expected then
            item:add_proto_expert_info(tx.answer, "Answer " .. value .. ", nonce + 1 " .. expected)
        end
    end
    return "AP_REP answer=" .. text
end

-- Packet ids and the running digest of one delivery, advanced on the first pass only.
local function track_inner(run, st, itype, pid, data)
    if itype == INNER.APP_DATA_REQ then
        run.next_pid, run.sha = 1, new_sha1()
    elseif itype == INNER.APP_DATA then
        st.expected = run.next_pid
        run.next_pid = (pid + 1) % 0x10000 -- the id wraps from 65535 to 0 on both sides
        if run.sha then run.sha:update(data) end
    elseif itype == INNER.APP_TERMINATE then
        if run.sha then st.seen_digest = run.sha:final() end
        run.sha = nil
    end
end

local function tk_krb_prv(tvb, pinfo, tree)
    local length = tvb(2, 2):uint()
    local len_item = tree:add(krb_prv.length, tvb(2, 2))
    local sealed_item = tree:add(krb_prv.sealed, tvb(4, 984))
    -- The inner message is 978 bytes; the peers refuse a longer length.
    if length > kInnerSize then
        len_item:add_proto_expert_info(tx.length, "Length " .. length .. " exceeds 978")
        length = kInnerSize
    end
    local run, st = frame_run(pinfo)
    add_run(tree, run, pinfo)
    local plain = unseal(run and run.key, tvb:raw(4, 984), length)
    if not plain then
        sealed_note(sealed_item, why_no_session_key(run))
        return "KRB_PRV (sealed)"
    end
    plain = plain .. string.rep("\0", kInnerSize - #plain)
    local u = unsealed_tvb(plain, "Unsealed inner message")
    local t = tree:add(u(), "Inner message (unsealed with the session key)")
    local itype, dlen, pid = be16(plain, 0), be16(plain, 2), be16(plain, 4)
    t:add(inner.type, u(0, 2))
    local dlen_item = t:add(inner.data_length, u(2, 2))
    local pid_item = t:add(inner.packet_id, u(4, 2))
    local shown = dlen
    if dlen > kChunk then
        dlen_item:add_proto_expert_info(tx.length, "Data length " .. dlen .. " exceeds 972")
        shown = kChunk
    end
    if not pinfo.visited and run then track_inner(run, st, itype, pid, at(plain, 6, shown)) end

    local name = inner_names[itype] or ("inner type " .. itype)
    if itype == INNER.APP_DATA then
        if shown > 0 then t:add(inner.data, u(6, shown)) end
        if st and st.expected and st.expected ~= pid then
            pid_item:add_proto_expert_info(tx.packet_id, "Packet id " .. pid .. ", expected " ..
                                           st.expected)
        end
        return string.format("KRB_PRV APP_DATA id=%d len=%d", pid, dlen)
    elseif itype == INNER.APP_TERMINATE then
        t:add(inner.digest, u(6, 20))
        if st and st.seen_digest then
            local ok = st.seen_digest == at(plain, 6, 20)
            local item = t:add(inner.digest_ok, ok):set_generated()
            if not ok then
                item:add_proto_expert_info(tx.digest, "The data seen: " .. hex(st.seen_digest))
            end
        end
    end
    return "KRB_PRV " .. name
end

local tk_by_type = {
    [TK.AS_REQ] = tk_as_req, [TK.AS_REP] = tk_as_rep, [TK.AS_ERR] = tk_error(as_err),
    [TK.AP_REQ] = tk_ap_req, [TK.AP_REP] = tk_ap_rep, [TK.AP_ERR] = tk_error(ap_err),
    [TK.KRB_PRV] = tk_krb_prv,
}

function tk.dissector(tvb, pinfo, root)
    learn_comment_keys(pinfo) -- the post-dissector comes too late for this very frame
    pinfo.cols.protocol:set("TKXFER")
    local tree = root:add(tk, tvb())
    if tvb:len() < 2 then
        tree:add_proto_expert_info(tx.size, "Shorter than a type field")
        return
    end
    local t = tvb(0, 2):uint()
    tree:add(tf.type, tvb(0, 2))
    local handler, size = tk_by_type[t], tk_sizes[t]
    if not handler or tvb:len() < size then
        tree:add_proto_expert_info(tx.size, string.format("Type %d, %d bytes", t, tvb:len()))
        pinfo.cols.info:set("Unknown ticket datagram, type " .. t)
        return
    end
    local info = handler(tvb, pinfo, tree)
    pinfo.cols.info:set(info)
    tree:append_text(", " .. info)
end

------------------------------------------------------------------------ password protocol

local PW = { JOIN_REQ = 1, PASS_REQ = 2, PASS_RESP = 3, PASS_ACCEPT = 4, DATA = 5, TERMINATE = 6,
             PASS_REJECT = 7 }
local kWrongType = 12 -- no message type; faulty builds send it for JOIN_REQ and PASS_REQ
local pw_names = { [1] = "JOIN_REQ", [2] = "PASS_REQ", [3] = "PASS_RESP", [4] = "PASS_ACCEPT",
                   [5] = "DATA", [6] = "TERMINATE", [7] = "PASS_REJECT",
                   [12] = "not a message type" }
local pw_sizes = { [1] = 8, [2] = 8, [3] = 60, [4] = 8, [5] = 1012, [6] = 28, [7] = 8, [12] = 8 }

local header = {
    type = ProtoField.uint16("pwxfer.type", "Type", base.DEC, pw_names),
    unused = ProtoField.uint16("pwxfer.unused", "Unused"),
    length = ProtoField.uint32("pwxfer.length", "Length"),
}
local pass_resp = { password = ProtoField.string("pwxfer.password", "Password") }
local data = {
    packet_id = ProtoField.uint32("pwxfer.packet_id", "Packet id"),
    data = ProtoField.bytes("pwxfer.data", "Data"),
}
local terminate = {
    digest = ProtoField.bytes("pwxfer.digest", "File digest"),
    digest_ok = ProtoField.bool("pwxfer.digest_ok", "Digest matches the data seen"),
}
pw.fields = field_list(header, pass_resp, data, terminate)

local px = {
    length = ProtoExpert.new("pwxfer.length_beyond_area", "Length field does not fit its area",
                             expert.group.MALFORMED, expert.severity.ERROR),
    size = ProtoExpert.new("pwxfer.size", "Datagram size does not fit its type",
                           expert.group.MALFORMED, expert.severity.ERROR),
    packet_id = ProtoExpert.new("pwxfer.packet_id_unexpected", "Packet id gap or repeat",
                                expert.group.SEQUENCE, expert.severity.WARN),
    digest = ProtoExpert.new("pwxfer.digest_mismatch", "Digest does not match the data seen",
                             expert.group.CHECKSUM, expert.severity.WARN),
    wrong_type = ProtoExpert.new("pwxfer.wrong_type", "Type 12 where a message type belongs",
                                 expert.group.PROTOCOL, expert.severity.WARN),
    refusal = ProtoExpert.new("pwxfer.refusal", "Server refuses the client",
                              expert.group.SEQUENCE, expert.severity.NOTE),
}
pw.experts = { px.length, px.size, px.packet_id, px.digest, px.wrong_type, px.refusal }

pw.prefs.heuristic = Pref.bool("Recognise by type and size", true,
    "Try every UDP datagram whose type and size fit a message of the protocol")
pw.prefs.ports = Pref.range("UDP ports", "", "Ports always decoded as this protocol", 65535)

-- Filled on the first pass in capture order, like the ticket protocol's run state.
local pw_state
local function pw_reset() pw_state = { by_conv = {}, frames = {} } end
pw_reset()

-- The session of this datagram's conversation and what the first pass found for the datagram.
-- A session opens with JOIN_REQ (or the faulty type 12) and closes with TERMINATE or
-- PASS_REJECT; a capture that starts in the middle has no opening and no digest check.
local function pw_session(pinfo)
    local ck = conv_key(pinfo)
    if not pinfo.visited then
        pw_state.frames[pinfo.number] = {}
        local s = pw_state.by_conv[ck]
        if not s then
            s = { closed = true }
            pw_state.by_conv[ck] = s
        end
        return pw_state.frames[pinfo.number], s, ck
    end
    return pw_state.frames[pinfo.number] or {}, nil, ck
end

local function pw_open(pinfo, tree, type_item, t)
    local st, s, ck = pw_session(pinfo)
    if s then
        if t == PW.JOIN_REQ or s.closed then
            pw_state.by_conv[ck] = { next_pid = 1, sha = new_sha1() }
            if t == kWrongType then st.wrong = "opening datagram: JOIN_REQ (1) belongs here" end
        elseif t == kWrongType then
            st.wrong = "answer to the client: PASS_REQ (2) belongs here"
        end
    end
    if st.wrong then
        type_item:add_proto_expert_info(px.wrong_type, "Type 12 in the " .. st.wrong)
        return "type 12 (not a message type)"
    end
    if t == kWrongType then return "type 12 (not a message type)" end
    return pw_names[t]
end

local function pw_bare(tvb, pinfo, tree, type_item, length_item)
    local t = tvb(0, 2):uint()
    if t == PW.JOIN_REQ or t == kWrongType then return pw_open(pinfo, tree, type_item, t) end
    if t == PW.PASS_REJECT then
        type_item:add_proto_expert_info(px.refusal, "Third wrong password")
        local _, s = pw_session(pinfo)
        if s then s.closed = true end
    end
    return pw_names[t]
end

local function pw_pass_resp(tvb, pinfo, tree, type_item, length_item)
    -- The field holds 52 bytes; the server refuses lengths above 50 as well.
    local length = tvb(4, 4):uint()
    if length > 52 then
        length_item:add_proto_expert_info(px.length, "Length " .. length .. " exceeds 52")
        length = 52
    end
    local text = tvb:raw(8, length)
    tree:add(pass_resp.password, tvb(8, 52), text)
    return string.format('PASS_RESP "%s"', text)
end

local function pw_data(tvb, pinfo, tree, type_item, length_item)
    local length, pid = tvb(4, 4):uint(), tvb(8, 4):uint()
    local pid_item = tree:add(data.packet_id, tvb(8, 4))
    local shown = length
    if length > 1000 then
        length_item:add_proto_expert_info(px.length, "Length " .. length .. " exceeds 1000")
        shown = 1000
    end
    if shown > 0 then tree:add(data.data, tvb(12, shown)) end
    local st, s = pw_session(pinfo)
    if s then
        st.expected = s.next_pid
        s.next_pid = (pid + 1) % 0x100000000
        if s.sha then s.sha:update(tvb:raw(12, shown)) end
    end
    if st.expected and st.expected ~= pid then
        pid_item:add_proto_expert_info(px.packet_id, "Packet id " .. pid .. ", expected " ..
                                       st.expected)
    end
    return string.format("DATA id=%d len=%d", pid, length)
end

local function pw_terminate(tvb, pinfo, tree, type_item, length_item)
    local length = tvb(4, 4):uint()
    if length ~= 20 then
        length_item:add_proto_expert_info(px.length, "Length " .. length .. ", the digest is 20")
    end
    tree:add(terminate.digest, tvb(8, 20))
    local st, s = pw_session(pinfo)
    if s then
        if s.sha then st.seen_digest = s.sha:final() end
        s.sha, s.closed = nil, true
    end
    if st.seen_digest then
        local ok = st.seen_digest == tvb:raw(8, 20)
        local item = tree:add(terminate.digest_ok, ok):set_generated()
        if not ok then
            item:add_proto_expert_info(px.digest, "The data seen: " .. hex(st.seen_digest))
        end
    end
    return "TERMINATE"
end

local pw_by_type = {
    [PW.JOIN_REQ] = pw_bare, [PW.PASS_REQ] = pw_bare, [PW.PASS_RESP] = pw_pass_resp,
    [PW.PASS_ACCEPT] = pw_bare, [PW.DATA] = pw_data, [PW.TERMINATE] = pw_terminate,
    [PW.PASS_REJECT] = pw_bare, [kWrongType] = pw_bare,
}

function pw.dissector(tvb, pinfo, root)
    pinfo.cols.protocol:set("PWXFER")
    local tree = root:add(pw, tvb())
    if tvb:len() < 8 then
        tree:add_proto_expert_info(px.size, "Shorter than the 8-byte header")
        return
    end
    local t = tvb(0, 2):uint()
    local type_item = tree:add(header.type, tvb(0, 2))
    tree:add(header.unused, tvb(2, 2))
    local length_item = tree:add(header.length, tvb(4, 4))
    local handler, size = pw_by_type[t], pw_sizes[t]
    if not handler or tvb:len() < size then
        tree:add_proto_expert_info(px.size, string.format("Type %d, %d bytes", t, tvb:len()))
        pinfo.cols.info:set("Unknown password datagram, type " .. t)
        return
    end
    local info = handler(tvb, pinfo, tree, type_item, length_item)
    pinfo.cols.info:set(info)
    tree:append_text(", " .. info)
end

------------------------------------------------------------------------------ registration

-- Sizes are fixed per type and differ between the two protocols, so type and size together
-- name one message of one protocol.
local function heuristic(proto, sizes, enabled)
    return function(tvb, pinfo, tree)
        if not enabled() or tvb:reported_len() < 2 or tvb:len() ~= tvb:reported_len() then
            return false
        end
        if sizes[tvb(0, 2):uint()] ~= tvb:len() then return false end
        proto.dissector(tvb, pinfo, tree)
        return true
    end
end
tk:register_heuristic("udp", heuristic(tk, tk_sizes, function() return tk.prefs.heuristic end))
pw:register_heuristic("udp", heuristic(pw, pw_sizes, function() return pw.prefs.heuristic end))

local udp_port = DissectorTable.get("udp.port")
udp_port:add_for_decode_as(tk)
udp_port:add_for_decode_as(pw)

local registered = { [tk] = "", [pw] = "" }
local function apply_ports(proto)
    if registered[proto] ~= "" then udp_port:remove(registered[proto], proto) end
    registered[proto] = proto.prefs.ports
    if registered[proto] ~= "" then udp_port:add(registered[proto], proto) end
end
function tk.prefs_changed() apply_ports(tk) end
function pw.prefs_changed() apply_ports(pw) end

function tk.init()
    tk_reset()
    comment_keys = {}
end
function pw.init() pw_reset() end
