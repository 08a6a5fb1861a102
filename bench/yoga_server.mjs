// GraphQL Yoga (npm, pinned in gateway/npm) on a loopback port, for bench/http_load.py: the
// schema is the least that answers its documents (`__typename` only), with Yoga's defaults
// (its parse and validate caches on), one Node process.
//
//     NODE_PATH=/opt/dive-ziri-npm/node_modules node bench/yoga_server.mjs PORT
import { createServer } from "node:http";
import { createRequire } from "node:module";
import path from "node:path";

const require = createRequire(path.join(process.env.NODE_PATH ?? "/opt/dive-ziri-npm/node_modules", "x.js"));
const { createSchema, createYoga } = require("graphql-yoga");

const yoga = createYoga({
  schema: createSchema({ typeDefs: "type Query { unused: String }" }),
  logging: false,
  graphiql: false,
  landingPage: false,
});
createServer(yoga).listen(Number(process.argv[2]), "127.0.0.1");
