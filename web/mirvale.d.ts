/** The result codes of a reply's "return". */
export declare const ResultCode: Readonly<{
  STARTED: 0;
  NOT_INSTALLED: -1;
  NO_URL: -2;
  PLAYLIST_NOT_WRITTEN: -3;
  NO_FILES: -4;
  UNSUPPORTED: -5;
  LAUNCH_FAILED: -6;
}>;

export type Route = "wss" | "ws" | "connect-page";

/** "unreachable", "timeout", "denied", "refused", "revoked", "closed", "popup-blocked", "bad-reply", ... */
export declare class MirvaleError extends Error {
  readonly code: string;
  constructor(code: string, message: string);
}

export interface ConnectOptions {
  /** Default "127.0.0.1". */
  host?: string;
  /** Default 8142. */
  plainPort?: number;
  /** Default 8143. */
  tlsPort?: number;
  /** The routes to try, in order. Default ["wss", "ws", "connect-page"]. */
  routes?: Route[];
  /** Milliseconds for each direct attempt and for the connect page to load. Default 4000. */
  timeout?: number;
  /** Subprotocols the direct WebSocket names. Default none. */
  protocols?: string[];
  /** Default http://HOST:PLAINPORT/connect. */
  connectPageUrl?: string;
  /** Whether the call comes from a user gesture; default navigator.userActivation.isActive. */
  userGesture?: boolean;
}

export interface PlayerSupport {
  arguments: string[];
  display_name: string;
  player: string;
}

export interface GetinfoReply {
  action: "Getinfo";
  applications: string[];
  id?: unknown;
  support: PlayerSupport[];
  version: string;
}

export interface PlayReply {
  action?: "Play";
  download_subfile_result?: boolean;
  id?: unknown;
  return: number;
  Text?: "Unsupport";
}

/** One item of a playlist. The optional fields are left out by the service when invalid. */
export interface PlayItem {
  url: string;
  "sub-file"?: string;
  /** Shown instead of the url (VLC, PotPlayer, mpv). */
  title?: string;
  /** Where to start, in seconds (VLC, mpv). */
  start?: number;
  /** An http or https URL sent as the Referer of the media requests (VLC, mpv). */
  referrer?: string;
  /** Printable ASCII sent as the User-Agent of the media requests (VLC, mpv). */
  "user-agent"?: string;
}

export interface PlayParams {
  files: PlayItem[];
  arguments?: Array<Record<string, boolean>>;
}

export interface Client {
  readonly route: Route;
  readonly url: string;
  readonly closed: boolean;
  /** Called once when the connection ends. */
  onclose: ((error: MirvaleError) => void) | null;
  getinfo(): Promise<GetinfoReply>;
  play(params: PlayParams, application: string): Promise<PlayReply>;
  /** One request object (an "id" is added when it has none); the parsed reply. */
  request(request: Record<string, unknown>): Promise<Record<string, unknown>>;
  /** One request's text; the reply's text exactly as the service sent it. */
  requestText(text: string): Promise<string>;
  close(): void;
}

export declare function connect(options?: ConnectOptions): Promise<Client>;
