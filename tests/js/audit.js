// Runs graphql-http's GraphQL-over-HTTP audit against a served endpoint and prints its
// results as one JSON array: [{id, name, status, reason}], status "ok", "warn" or "error".
//
//   node tests/js/audit.js NPM_DIR URL
//
// NPM_DIR is the folder the pinned npm packages are installed in. Headers
// every request of the audit carries (a bearer token) come as a JSON object in
// the environment variable AUDIT_HEADERS, so that no secret stands on a command line.
"use strict";
const path = require("node:path");

async function main() {
  const [npmDir, url] = process.argv.slice(2);
  const { auditServer } = require(path.join(npmDir, "node_modules", "graphql-http"));
  const extra = JSON.parse(process.env.AUDIT_HEADERS || "{}");
  const fetchFn = (input, init = {}) =>
    fetch(input, { ...init, headers: { ...extra, ...(init.headers || {}) } });
  const results = await auditServer({ url, fetchFn });
  const rows = results.map((r) => ({ id: r.id, name: r.name, status: r.status, reason: r.reason || null }));
  process.stdout.write(JSON.stringify(rows) + "\n");
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack || error) + "\n");
  process.exit(1);
});
