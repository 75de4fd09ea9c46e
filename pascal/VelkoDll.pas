{ VelkoDll: the VELKO_DLL library for Delphi and Free Pascal.

  Article exchange with a VELKO retail device on a serial line: upload articles, download them
  with their two sales counters, delete them by code, zero the counters. Every function is
  cdecl and lives in VELKO_DLL.dll on Windows and in libvelko.so.1 elsewhere; this unit declares
  all of them and adds the conversion of article names between a Pascal string and the
  record's Windows-1250 bytes.

  Delphi 2009 or later, or Free Pascal 3 (any mode: the unit sets its own). }
unit VelkoDll;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  VelkoLibrary = 'VELKO_DLL.dll';
{$ELSE}
  VelkoLibrary = 'libvelko.so.1';
{$ENDIF}

  { Result codes: every job returns one of these; 0 is success. VELKOResultMessage says each in
    one line of English. }
  VELKO_OK = 0;          { success }
  VELKO_ERR_ABORT = 1;   { the consumer stopped a download }
  VELKO_ERR_OPEN = 2;    { the port could not be opened or set up, or the library or the
                           handle is busy }
  VELKO_ERR_SEND = 3;    { a write failed or a frame was never acknowledged }
  VELKO_ERR_READ = 4;    { a read failed or timed out, or the device refused the request }
  VELKO_ERR_FORMAT = 5;  { a malformed frame or reply, or a malformed request: a missing
                           callback, an article the device cannot take as it stands }
  VELKO_ERR_CRC = 6;     { a received frame failed its CRC check }
  VELKO_ERR_PORT = 7;    { port number outside 1..2 }
  VELKO_ERR_ADDRESS = 8; { device number above 99 }
  VELKO_ERR_HANDLE = 9;  { extended API: the handle is not open (nil, closed or unknown) }

  { Upload options of VELKOLineSendArticles, or-ed together. }
  VELKO_CONTINUE_ON_REFUSAL = 1;     { go on after an article refused (by the device or by the
                                       checks of VELKOCheckArticle) }
  VELKO_SKIP_FIRST_PREPARATION = 2;  { leave out the first preparatory command }
  VELKO_SKIP_SECOND_PREPARATION = 4; { leave out the second preparatory command }

type
  { One article as it crosses the library boundary: 48 bytes, packed, little-endian. }
  TArticleRecord = packed record
    Code: array[0..14] of AnsiChar;  { up to 14 digits and a NUL; a download gives 14 digits,
                                       zeros in front }
    Name: array[0..18] of AnsiChar;  { up to 18 Windows-1250 characters and a NUL: fill it with
                                       VelkoSetName or VelkoSetNameUTF8 }
    Price: Integer;                  { hundredths }
    Flag: Byte;                      { 0 or 1 }
    Group: ShortInt;                 { device group number minus 1 }
    QuantityCounter: Integer;        { thousandths }
    ValueCounter: Integer;           { hundredths }
  end;
  PArticleRecord = ^TArticleRecord;

{ The library reads and writes exactly this layout: a different size would move every field of
  every article after the first. }
{$IF SizeOf(TArticleRecord) <> 48}
  {$MESSAGE ERROR 'TArticleRecord must be 48 bytes'}
{$IFEND}

type
  { The four numbered functions' callbacks. A supplier fills Rec^ with the next article (or names
    the next code to delete) and returns 1 while it supplied one, anything else to end the
    list. A consumer receives one downloaded article, valid only during the call, and returns 1
    to ask for the next. UserValue is the caller's 32-bit value, passed through. }
  TArticleSupplier = function(SessionText: PAnsiChar; Index: Integer; Rec: PArticleRecord;
    UserValue: Cardinal): Integer; cdecl;
  TArticleConsumer = function(SessionText: PAnsiChar; Index: Integer; Rec: PArticleRecord;
    UserValue: Cardinal): Integer; cdecl;

  { A handle on one line, from VELKOLineOpen; its insides are the library's. }
  TVelkoLine = record
  end;
  PVelkoLine = ^TVelkoLine;

  { What an extended call did; every count is set to 0 before anything else. }
  TVelkoCounts = record
    Accepted: Integer; { upload: articles the device stored }
    Refused: Integer;  { upload: articles refused, by the device or before sending }
    Received: Integer; { download: articles handed to the consumer }
    Deleted: Integer;  { deletion: codes the device deleted }
  end;
  PVelkoCounts = ^TVelkoCounts;

  { The extended API's callbacks carry a pointer of the caller's, whatever the word size. A
    supplier fills Rec^ and returns 1 while it has an article; a consumer must not change Rec^
    (valid only during the call) and returns 1 to ask for the next article. }
  TVelkoSupplier = function(Context: Pointer; Index: Integer; Rec: PArticleRecord): Integer;
    cdecl;
  TVelkoConsumer = function(Context: Pointer; Index: Integer; Rec: PArticleRecord): Integer;
    cdecl;
  { Told after every article the device answered or the checks refused: how many so far. }
  TVelkoProgress = procedure(Context: Pointer; Done: Integer); cdecl;

{ ---- The four numbered functions (ordinals 1 to 4) ----
  Each opens port 1 or 2 (COM1, COM2; /dev/ttyS0, /dev/ttyS1 on Linux), runs one job and closes
  the port before it returns. }

{ Deletes from the device every code that Supplier names. A nil supplier: VELKO_ERR_FORMAT. }
function VELKODeleteArticles(Port: Integer; Baud, DeviceNumber: Cardinal;
  Supplier: TArticleSupplier; UserValue: Cardinal): Integer; cdecl;
  external VelkoLibrary name 'VELKODeleteArticles';
{ Downloads every article with its two counters into Consumer. }
function VELKOReceiveArticles(Port: Integer; Baud, DeviceNumber: Cardinal;
  Consumer: TArticleConsumer; UserValue: Cardinal): Integer; cdecl;
  external VelkoLibrary name 'VELKOReceiveArticles';
{ Uploads every article that Supplier gives, stopping at the first refusal; a non-zero low byte
  of SkipSecondPreparation leaves out the second preparatory command. Names go out as given. }
function VELKOSendArticles(Port: Integer; Baud, SkipSecondPreparation, DeviceNumber: Cardinal;
  Supplier: TArticleSupplier; UserValue: Cardinal): Integer; cdecl;
  external VelkoLibrary name 'VELKOSendArticles';
{ Zeroes the device's PLU counters: the day's sales per article are gone afterwards. }
function VELKOZeroPLUCounters(Port: Integer; Baud, DeviceNumber: Cardinal): Integer; cdecl;
  external VelkoLibrary name 'VELKOZeroPLUCounters';

{ ---- The extended API (ordinals 5 to 16) ----
  A handle per line, each with a link of its own, so two lines run at once from two threads.
  One handle runs one call at a time: a call on it while another runs (from a callback or
  another thread) is refused at once with VELKO_ERR_OPEN. A nil, closed or unknown handle gives
  VELKO_ERR_HANDLE. }

{ A handle on a line: a device path ('/dev/ttyUSB0'), a COM name ('COM3', '\\.\COM10') or
  'tcp://HOST:PORT' for a serial device server. Nothing is opened until a call runs; nil for a
  nil or empty name. }
function VELKOLineOpen(Line: PAnsiChar): PVelkoLine; cdecl;
  external VelkoLibrary name 'VELKOLineOpen';
{ Ends the handle: later calls with it give VELKO_ERR_HANDLE, a second close does nothing. }
procedure VELKOLineClose(Line: PVelkoLine); cdecl;
  external VelkoLibrary name 'VELKOLineClose';
{ Appends a time-stamped trace of every step of the handle's calls to FileName; nil or '' stops
  it. VELKO_ERR_FORMAT for a name over 128 characters, VELKO_ERR_OPEN while a call runs on the
  handle or when the file cannot be opened for writing. }
function VELKOLineSetTrace(Line: PVelkoLine; FileName: PAnsiChar): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineSetTrace';
{ The jobs on the handle's line, with a device number of 0 to 99, options, counts (may be nil)
  and progress (may be nil). A nil supplier or consumer is VELKO_ERR_FORMAT. The upload checks
  every article first, as VELKOCheckArticle does, and refuses a code that came earlier in the
  same list. }
function VELKOLineSendArticles(Line: PVelkoLine; Baud, DeviceNumber, Options: Cardinal;
  Supplier: TVelkoSupplier; Context: Pointer; Progress: TVelkoProgress;
  Counts: PVelkoCounts): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineSendArticles';
function VELKOLineReceiveArticles(Line: PVelkoLine; Baud, DeviceNumber: Cardinal;
  Consumer: TVelkoConsumer; Context: Pointer; Progress: TVelkoProgress;
  Counts: PVelkoCounts): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineReceiveArticles';
function VELKOLineDeleteArticles(Line: PVelkoLine; Baud, DeviceNumber: Cardinal;
  Supplier: TVelkoSupplier; Context: Pointer; Progress: TVelkoProgress;
  Counts: PVelkoCounts): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineDeleteArticles';
{ The same; with VELKO_CONTINUE_ON_REFUSAL in Options a code the device refuses is counted in
  Counts^.Refused and the deletion goes on. }
function VELKOLineDeleteArticlesEx(Line: PVelkoLine; Baud, DeviceNumber, Options: Cardinal;
  Supplier: TVelkoSupplier; Context: Pointer; Progress: TVelkoProgress;
  Counts: PVelkoCounts): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineDeleteArticlesEx';
{ Zeroes the device's PLU counters: the day's sales per article are gone afterwards. }
function VELKOLineZeroPLUCounters(Line: PVelkoLine; Baud, DeviceNumber: Cardinal): Integer;
  cdecl; external VelkoLibrary name 'VELKOLineZeroPLUCounters';
{ Stops the call running on the handle at its next article, from any thread (a Cancel button):
  the device's session is ended and the call returns VELKO_ERR_ABORT with its counts. VELKO_OK
  also when no call runs (nothing is stopped, now or later); VELKO_ERR_HANDLE for a handle that
  is not open. }
function VELKOLineCancel(Line: PVelkoLine): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineCancel';
{ A result code in one line of English: its name, what it means and what to check. }
function VELKOResultMessage(Rc: Integer): PAnsiChar; cdecl;
  external VelkoLibrary name 'VELKOResultMessage';
{ The outcome of the handle's last call in words (UTF-8), into Text (Size bytes, cut to fit and
  always terminated); empty after a call that succeeded. Returns that call's result code, or
  VELKO_ERR_HANDLE for a handle that is not open. }
function VELKOLineFailure(Line: PVelkoLine; Text: PAnsiChar; Size: Cardinal): Integer; cdecl;
  external VelkoLibrary name 'VELKOLineFailure';
{ Whether the device can take Rec^ as it stands: VELKO_OK, or VELKO_ERR_FORMAT with the reason
  (UTF-8) in Reason (Size bytes, cut to fit; may be nil). }
function VELKOCheckArticle(Rec: PArticleRecord; Reason: PAnsiChar; Size: Cardinal): Integer;
  cdecl; external VelkoLibrary name 'VELKOCheckArticle';
{ The version of the library loaded, as 'MAJOR.MINOR.PATCH'; static storage. }
function VELKOVersion: PAnsiChar; cdecl;
  external VelkoLibrary name 'VELKOVersion';

{ ---- Names ----
  The record holds a name as Windows-1250 bytes; the device shows printable ASCII and the 18
  Polish letters (A-ogonek to Z-dot, upper and lower case). These convert between those bytes and
  a Pascal string themselves, whatever the system's code page, and refuse any other character
  rather than guess.

  VelkoSetName takes UTF-16 (Delphi 2009 and later: string); VelkoSetNameUTF8 takes UTF-8 bytes
  whatever the string's declared code page (Free Pascal and Lazarus: string, a UTF-8 source's
  literals). Each writes the name NUL-terminated and zero-filled; a name of more than 18
  characters or with a character the device cannot show is refused: False, and the field left
  all zeros, which VELKOCheckArticle and every upload refuse as an empty name.

  VelkoGetName and VelkoGetNameUTF8 read the field back; False (and '') when it is not
  terminated within its 19 bytes or holds a byte that is neither printable ASCII nor one of the
  Polish letters. }
function VelkoSetName(var Rec: TArticleRecord; const Name: UnicodeString): Boolean;
function VelkoSetNameUTF8(var Rec: TArticleRecord; const Name: RawByteString): Boolean;
function VelkoGetName(const Rec: TArticleRecord; out Name: UnicodeString): Boolean;
function VelkoGetNameUTF8(const Rec: TArticleRecord; out Name: UTF8String): Boolean;

{ Writes an article code (ASCII, up to 14 characters) NUL-terminated and zero-filled; False, and
  the field all zeros, for a longer code or one with another character. Whether it is a code the
  device takes (1 to 14 digits, not all zeros) is VELKOCheckArticle's to say. }
function VelkoSetCode(var Rec: TArticleRecord; const Code: string): Boolean;
{ The code as the record holds it, up to its NUL. }
function VelkoGetCode(const Rec: TArticleRecord): string;

implementation

type
  TPolishLetter = record
    Unicode: Word;
    Host: Byte; { Windows-1250 }
  end;

const
  PolishLetters: array[0..17] of TPolishLetter = (
    (Unicode: $0104; Host: $A5), (Unicode: $0105; Host: $B9),  { A-ogonek }
    (Unicode: $0106; Host: $C6), (Unicode: $0107; Host: $E6),  { C-acute }
    (Unicode: $0118; Host: $CA), (Unicode: $0119; Host: $EA),  { E-ogonek }
    (Unicode: $0141; Host: $A3), (Unicode: $0142; Host: $B3),  { L-stroke }
    (Unicode: $0143; Host: $D1), (Unicode: $0144; Host: $F1),  { N-acute }
    (Unicode: $00D3; Host: $D3), (Unicode: $00F3; Host: $F3),  { O-acute }
    (Unicode: $015A; Host: $8C), (Unicode: $015B; Host: $9C),  { S-acute }
    (Unicode: $0179; Host: $8F), (Unicode: $017A; Host: $9F),  { Z-acute }
    (Unicode: $017B; Host: $AF), (Unicode: $017C; Host: $BF)); { Z-dot }

  NameCapacity = 18;

{ The record's byte for a character, or 0 for one the device cannot show. }
function HostByte(C: Cardinal): Byte;
var
  I: Integer;
begin
  Result := 0;
  if (C >= $20) and (C < $7F) then
    Result := Byte(C)
  else
    for I := Low(PolishLetters) to High(PolishLetters) do
      if PolishLetters[I].Unicode = C then
      begin
        Result := PolishLetters[I].Host;
        Exit;
      end;
end;

{ The character for a record's byte, or 0 for a byte that is none the device shows. }
function CharOfHost(B: Byte): Word;
var
  I: Integer;
begin
  Result := 0;
  if (B >= $20) and (B < $7F) then
    Result := B
  else
    for I := Low(PolishLetters) to High(PolishLetters) do
      if PolishLetters[I].Host = B then
      begin
        Result := PolishLetters[I].Unicode;
        Exit;
      end;
end;

procedure ClearName(var Rec: TArticleRecord);
begin
  FillChar(Rec.Name, SizeOf(Rec.Name), 0);
end;

{ Appends one character's byte; False when the name is full or the character has none. }
function PutChar(var Rec: TArticleRecord; var Count: Integer; C: Cardinal): Boolean;
var
  B: Byte;
begin
  B := HostByte(C);
  Result := (B <> 0) and (Count < NameCapacity);
  if Result then
  begin
    Rec.Name[Count] := AnsiChar(B);
    Inc(Count);
  end;
end;

function VelkoSetName(var Rec: TArticleRecord; const Name: UnicodeString): Boolean;
var
  I, Count: Integer;
begin
  ClearName(Rec);
  Count := 0;
  Result := True;
  { Every character the device shows is one UTF-16 unit: a surrogate is refused with the rest. }
  for I := 1 to Length(Name) do
    if not PutChar(Rec, Count, Ord(Name[I])) then
    begin
      Result := False;
      Break;
    end;
  if not Result then
    ClearName(Rec);
end;

function VelkoSetNameUTF8(var Rec: TArticleRecord; const Name: RawByteString): Boolean;
var
  I, Count: Integer;
  B: Byte;
  C: Cardinal;
begin
  ClearName(Rec);
  Count := 0;
  Result := True;
  I := 1;
  while Result and (I <= Length(Name)) do
  begin
    B := Ord(Name[I]);
    { Every character the device shows is one byte or a two-byte sequence (U+0080 to U+07FF);
      anything else, overlong forms and broken sequences included, is refused. }
    if B < $80 then
    begin
      C := B;
      Inc(I);
    end
    else if (B >= $C2) and (B <= $DF) and (I < Length(Name)) and
      ((Ord(Name[I + 1]) and $C0) = $80) then
    begin
      C := (Cardinal(B and $1F) shl 6) or Cardinal(Ord(Name[I + 1]) and $3F);
      Inc(I, 2);
    end
    else
      C := 0;
    Result := PutChar(Rec, Count, C);
  end;
  if not Result then
    ClearName(Rec);
end;

{ The name's length up to its NUL, or -1 when the field holds no NUL. }
function NameLength(const Rec: TArticleRecord): Integer;
begin
  Result := 0;
  while (Result < Length(Rec.Name)) and (Rec.Name[Result] <> #0) do
    Inc(Result);
  if Result = Length(Rec.Name) then
    Result := -1;
end;

function VelkoGetName(const Rec: TArticleRecord; out Name: UnicodeString): Boolean;
var
  I, Len: Integer;
  C: Word;
begin
  Name := '';
  Len := NameLength(Rec);
  Result := Len >= 0;
  if not Result then
    Exit;
  SetLength(Name, Len);
  for I := 0 to Len - 1 do
  begin
    C := CharOfHost(Byte(Rec.Name[I]));
    if C = 0 then
    begin
      Name := '';
      Result := False;
      Exit;
    end;
    Name[I + 1] := WideChar(C);
  end;
end;

function VelkoGetNameUTF8(const Rec: TArticleRecord; out Name: UTF8String): Boolean;
var
  I, Len, N: Integer;
  C: Word;
begin
  Name := '';
  Len := NameLength(Rec);
  Result := Len >= 0;
  if not Result then
    Exit;
  SetLength(Name, 2 * Len); { no character takes more than two bytes }
  N := 0;
  for I := 0 to Len - 1 do
  begin
    C := CharOfHost(Byte(Rec.Name[I]));
    if C = 0 then
    begin
      Name := '';
      Result := False;
      Exit;
    end;
    if C < $80 then
    begin
      Inc(N);
      Name[N] := AnsiChar(C);
    end
    else
    begin
      Name[N + 1] := AnsiChar($C0 or (C shr 6));
      Name[N + 2] := AnsiChar($80 or (C and $3F));
      Inc(N, 2);
    end;
  end;
  SetLength(Name, N);
end;

function VelkoSetCode(var Rec: TArticleRecord; const Code: string): Boolean;
var
  I: Integer;
begin
  FillChar(Rec.Code, SizeOf(Rec.Code), 0);
  Result := Length(Code) < Length(Rec.Code);
  I := 1;
  while Result and (I <= Length(Code)) do
  begin
    Result := (Ord(Code[I]) >= $20) and (Ord(Code[I]) < $7F);
    Rec.Code[I - 1] := AnsiChar(Ord(Code[I]));
    Inc(I);
  end;
  if not Result then
    FillChar(Rec.Code, SizeOf(Rec.Code), 0);
end;

function VelkoGetCode(const Rec: TArticleRecord): string;
var
  I, Len: Integer;
begin
  Len := 0;
  while (Len < Length(Rec.Code)) and (Rec.Code[Len] <> #0) do
    Inc(Len);
  SetLength(Result, Len);
  for I := 1 to Len do
    Result[I] := Char(Ord(Rec.Code[I - 1]));
end;

end.
