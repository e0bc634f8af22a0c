// The OpenID provider of the single sign-on tests, on 127.0.0.1 only. It listens on a free port,
// then prints one line "READY <issuer>" on stdout; tests wait for that line, not for a time.
// Ends on SIGTERM or when stdin closes, so it never outlives the test that started it.
//
//   node provider.mjs [--access-token-ttl SECONDS] [--port PORT]
import { generateKeyPairSync } from 'node:crypto';
import { createServer } from 'node:http';
import process from 'node:process';

import Provider from 'oidc-provider';

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  return at > 0 && at + 1 < process.argv.length ? process.argv[at + 1] : fallback;
}

const accessTokenTtl = Number(option('--access-token-ttl', '30'));
const port = Number(option('--port', '0'));

// Accounts exist for any login name; the subject is the name itself.
async function findAccount(ctx, id) {
  return {
    accountId: id,
    async claims() {
      return { sub: id, email: `${id}@example.test`, name: id };
    },
  };
}

const { privateKey } = generateKeyPairSync('rsa', { modulusLength: 2048 });
const signingKey = { ...privateKey.export({ format: 'jwk' }), kid: 'quarra-test', use: 'sig', alg: 'RS256' };

const server = createServer();
server.listen(port, '127.0.0.1', () => {
  const issuer = `http://127.0.0.1:${server.address().port}`;
  const provider = new Provider(issuer, {
    clients: [
      {
        // A public native client: PKCE, no secret.
        client_id: 'quarra-native',
        application_type: 'native',
        token_endpoint_auth_method: 'none',
        redirect_uris: [
          'http://127.0.0.1/callback',
          'http://localhost/callback',
          'http://[::1]/callback',
          'com.tovik.quarra.test:/oauth2redirect',
        ],
        grant_types: ['authorization_code', 'refresh_token'],
        response_types: ['code'],
      },
      {
        // A confidential client whose secret needs form-encoding in HTTP Basic.
        client_id: 'quarra-confidential',
        client_secret: 's3cr+t/with%signs',
        application_type: 'native',
        token_endpoint_auth_method: 'client_secret_basic',
        redirect_uris: ['http://127.0.0.1/callback'],
        grant_types: ['authorization_code', 'refresh_token'],
        response_types: ['code'],
      },
    ],
    jwks: { keys: [signingKey] },
    findAccount,
    scopes: ['openid', 'profile', 'email', 'offline_access'],
    claims: { openid: ['sub'], profile: ['name'], email: ['email'] },
    features: {
      devInteractions: { enabled: true },
      registration: { enabled: true },
    },
    // Every client with the refresh grant gets a refresh token, rotated at each use.
    issueRefreshToken: async (ctx, client) => client.grantTypeAllowed('refresh_token'),
    rotateRefreshToken: true,
    ttl: {
      AccessToken: accessTokenTtl,
      AuthorizationCode: 60,
      IdToken: 3600,
      RefreshToken: 24 * 3600,
      Grant: 24 * 3600,
      Interaction: 3600,
      Session: 24 * 3600,
    },
    pkce: { required: () => true },
  });
  provider.proxy = false;
  server.on('request', provider.callback());
  process.stdout.write(`READY ${issuer}\n`);
});

function stop() {
  server.close();
  server.closeAllConnections();
  process.exit(0);
}
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
process.stdin.on('end', stop);
process.stdin.resume();
