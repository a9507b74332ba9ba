// The test host's codec: Eclipse Tahu's sparkplug-payload decodes what the
// gateway sends and encodes the commands sent to it.
//   node spb_codec.js decode FILE   FILE: "topic<TAB>hex" lines; one JSON object per line out
//   node spb_codec.js encode JSON   the payload in hex
"use strict";
const fs = require("fs");
const tahu = require("sparkplug-payload").get("spBv1.0");
const proto = require("sparkplug-payload/lib/sparkplugPayloadProto").org.eclipse.tahu.protobuf;

// The codec leaves the array types null: their packed little-endian bytes
// are read here from the raw message.
function unpack(type, bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const out = [];
  if (type === 26) for (let i = 0; i < bytes.length; ++i) out.push(view.getUint8(i));
  if (type === 30) for (let i = 0; i + 4 <= bytes.length; i += 4) out.push(view.getFloat32(i, true));
  return out;
}

function plain(value) {
  if (value && typeof value === "object" && typeof value.toNumber === "function") return value.toNumber();
  if (Array.isArray(value)) return value.map(plain);
  if (value && typeof value === "object") {
    const out = {};
    for (const [k, v] of Object.entries(value)) out[k] = plain(v);
    return out;
  }
  return value;
}

if (process.argv[2] === "encode") {
  process.stdout.write(Buffer.from(tahu.encodePayload(JSON.parse(process.argv[3]))).toString("hex"));
} else {
  for (const line of fs.readFileSync(process.argv[3], "utf8").split("\n")) {
    if (!line) continue;
    const [topic, hex] = line.split("\t");
    const bytes = Buffer.from(hex, "hex");
    let out;
    if (topic.startsWith("spBv1.0/STATE/")) {
      out = { topic, state: JSON.parse(bytes.toString()) };
    } else {
      const payload = plain(tahu.decodePayload(bytes));
      const raw = proto.Payload.decode(bytes);
      (payload.metrics || []).forEach((m, i) => {
        const r = raw.metrics[i];
        if (r.datatype >= 22 && !r.isNull) m.value = unpack(r.datatype, r.bytesValue);
        m.datatype = r.datatype;
      });
      out = { topic, payload };
    }
    process.stdout.write(JSON.stringify(out) + "\n");
  }
}
