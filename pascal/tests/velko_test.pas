{ The Pascal unit against the library and a simulated device: three articles with Polish names
  up through the extended API with progress and counts, down again byte for byte, deleted; the
  name conversion both ways; an article the checks refuse; the version; the numbered functions
  and a closed handle refusing at once.

  velko_test LINE VERSION: LINE is the simulated device's terminal, VERSION the version the
  library must report. Exit status 0 when everything held; otherwise one line per fault. }
program velko_test;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
  VelkoDll;

const
  Baud = 9600;
  Device = 1;

type
  TArticles = array[0..2] of TArticleRecord;
  PArticles = ^TArticles;
  TCodes = array[0..2] of string;

  { What the callbacks see through their context. }
  TJob = record
    Articles: TArticles;  { supplied, or received }
    Count: Integer;       { received so far }
    Progress: array[0..9] of Integer;
    ProgressCalls: Integer;
  end;
  PJob = ^TJob;

var
  Faults: Integer = 0;

procedure Fault(const What: string);
begin
  Writeln('FAULT: ', What);
  Inc(Faults);
end;

function IntText(N: Integer): string;
begin
  Str(N, Result);
end;

{ A UTF-8 string from its bytes, so the test does not depend on how the compiler reads the
  source's own encoding. }
function Utf8(const Bytes: array of Byte): RawByteString;
var
  I: Integer;
begin
  SetLength(Result, Length(Bytes));
  for I := 0 to High(Bytes) do
    Result[I + 1] := AnsiChar(Bytes[I]);
end;

function SameBytes(const A, B: RawByteString): Boolean;
var
  I: Integer;
begin
  Result := Length(A) = Length(B);
  for I := 1 to Length(A) do
    Result := Result and (A[I] = B[I]);
end;

function Supply(Context: Pointer; Index: Integer; Rec: PArticleRecord): Integer; cdecl;
begin
  Result := 0;
  if (Index >= 0) and (Index <= High(TArticles)) then
  begin
    Rec^ := PJob(Context)^.Articles[Index];
    Result := 1;
  end;
end;

function Consume(Context: Pointer; Index: Integer; Rec: PArticleRecord): Integer; cdecl;
var
  Job: PJob;
begin
  Job := PJob(Context);
  if Job^.Count <= High(TArticles) then
    Job^.Articles[Job^.Count] := Rec^;
  Inc(Job^.Count);
  Result := 1;
end;

procedure Progress(Context: Pointer; Done: Integer); cdecl;
var
  Job: PJob;
begin
  Job := PJob(Context);
  if Job^.ProgressCalls <= High(Job^.Progress) then
    Job^.Progress[Job^.ProgressCalls] := Done;
  Inc(Job^.ProgressCalls);
end;

function Article(const Code: string; const Name: UnicodeString; Price, Flag, Group: Integer):
  TArticleRecord;
begin
  FillChar(Result, SizeOf(Result), 0);
  if not VelkoSetCode(Result, Code) then
    Fault('code ' + Code + ' was refused');
  if not VelkoSetName(Result, Name) then
    Fault('name ' + IntText(Length(Name)) + ' characters long was refused');
  Result.Price := Price;
  Result.Flag := Flag;
  Result.Group := Group - 1;
end;

function NameBytes(const Rec: TArticleRecord): string;
var
  I: Integer;
begin
  Result := '';
  for I := 0 to High(Rec.Name) do
    Result := Result + ' ' + IntText(Ord(Rec.Name[I]));
end;

procedure CompareArticle(const Which: string; const Got, Want: TArticleRecord);
var
  I: Integer;
begin
  for I := 0 to High(Want.Code) do
    if Got.Code[I] <> Want.Code[I] then
    begin
      Fault(Which + ': code ' + VelkoGetCode(Got) + ', expected ' + VelkoGetCode(Want));
      Break;
    end;
  for I := 0 to High(Want.Name) do
    if Got.Name[I] <> Want.Name[I] then
    begin
      Fault(Which + ': name bytes' + NameBytes(Got) + ', expected' + NameBytes(Want));
      Break;
    end;
  if Got.Price <> Want.Price then
    Fault(Which + ': price ' + IntText(Got.Price) + ', expected ' + IntText(Want.Price));
  if Got.Flag <> Want.Flag then
    Fault(Which + ': flag ' + IntText(Got.Flag) + ', expected ' + IntText(Want.Flag));
  if Got.Group <> Want.Group then
    Fault(Which + ': group ' + IntText(Got.Group) + ', expected ' + IntText(Want.Group));
  if (Got.QuantityCounter <> 0) or (Got.ValueCounter <> 0) then
    Fault(Which + ': counters ' + IntText(Got.QuantityCounter) + ' and ' +
      IntText(Got.ValueCounter) + ' on an article nothing was sold of');
end;

procedure Expect(const What: string; Got, Want: Integer);
begin
  if Got <> Want then
    Fault(What + ': ' + IntText(Got) + ', expected ' + IntText(Want));
end;

function Failure(Line: PVelkoLine): string;
var
  Text: array[0..511] of AnsiChar;
begin
  VELKOLineFailure(Line, @Text[0], SizeOf(Text));
  Result := string(PAnsiChar(@Text[0]));
end;

{ Upload, download, compare, delete, download again: all on one handle. }
procedure RoundTrip(const Path: AnsiString);
const
  Codes: TCodes = ('5900001000017', '5900001000031', '42');
  { What a download gives for each code: always 14 digits. }
  Listed: TCodes = ('05900001000017', '05900001000031', '00000000000042');
var
  Line: PVelkoLine;
  Sent, Got: TJob;
  Counts: TVelkoCounts;
  Rc, I, J: Integer;
  Want: TArticleRecord;
begin
  FillChar(Sent, SizeOf(Sent), 0);
  Sent.Articles[0] := Article(Codes[0], 'CHLEB '#$017B'YTNI', 450, 0, 1);
  Sent.Articles[1] := Article(Codes[1], 'MAS'#$0141'O EKSTRA 200G', 799, 1, 3);
  Sent.Articles[2] := Article(Codes[2], #$0179'D'#$0179'B'#$0141'O', -10, 0, 128);

  Line := VELKOLineOpen(PAnsiChar(Path));
  if Line = nil then
  begin
    Fault('VELKOLineOpen(' + string(Path) + ') gave no handle');
    Exit;
  end;
  Expect('VELKOLineSetTrace(nil)', VELKOLineSetTrace(Line, nil), VELKO_OK);

  Counts.Accepted := -1;
  Rc := VELKOLineSendArticles(Line, Baud, Device, 0, Supply, @Sent, Progress, @Counts);
  Expect('upload result (' + Failure(Line) + ')', Rc, VELKO_OK);
  Expect('articles accepted', Counts.Accepted, 3);
  Expect('articles refused', Counts.Refused, 0);
  Expect('progress calls of the upload', Sent.ProgressCalls, 3);
  for I := 0 to 2 do
    Expect('progress call ' + IntText(I + 1), Sent.Progress[I], I + 1);

  FillChar(Got, SizeOf(Got), 0);
  Rc := VELKOLineReceiveArticles(Line, Baud, Device, Consume, @Got, Progress, @Counts);
  Expect('download result (' + Failure(Line) + ')', Rc, VELKO_OK);
  Expect('articles received', Counts.Received, 3);
  Expect('articles consumed', Got.Count, 3);
  Expect('progress calls of the download', Got.ProgressCalls, 3);
  for I := 0 to 2 do
  begin
    Want := Sent.Articles[I];
    VelkoSetCode(Want, Listed[I]);
    J := 0;
    while (J < Got.Count) and (J <= High(TArticles)) and
      (VelkoGetCode(Got.Articles[J]) <> Listed[I]) do
      Inc(J);
    if (J < Got.Count) and (J <= High(TArticles)) then
      CompareArticle('downloaded article ' + Listed[I], Got.Articles[J], Want)
    else
      Fault('code ' + Listed[I] + ' was not downloaded');
  end;

  { A deletion's supplier names the codes; the table is then empty. }
  Sent.ProgressCalls := 0;
  Rc := VELKOLineDeleteArticles(Line, Baud, Device, Supply, @Sent, Progress, @Counts);
  Expect('deletion result (' + Failure(Line) + ')', Rc, VELKO_OK);
  Expect('codes deleted', Counts.Deleted, 3);
  Expect('progress calls of the deletion', Sent.ProgressCalls, 3);
  FillChar(Got, SizeOf(Got), 0);
  Rc := VELKOLineReceiveArticles(Line, Baud, Device, Consume, @Got, nil, @Counts);
  Expect('download after the deletion', Rc, VELKO_OK);
  Expect('articles left after the deletion', Got.Count, 0);

  { A cancel with no call running stops nothing, then or later. }
  Expect('cancel with no call running', VELKOLineCancel(Line), VELKO_OK);
  Expect('counter reset after it', VELKOLineZeroPLUCounters(Line, Baud, Device), VELKO_OK);

  { A closed handle refuses every call at once, the counter reset and the cancel too. }
  VELKOLineClose(Line);
  Expect('cancel on a closed handle', VELKOLineCancel(Line), VELKO_ERR_HANDLE);
  Expect('counter reset on a closed handle', VELKOLineZeroPLUCounters(Line, Baud, Device),
    VELKO_ERR_HANDLE);
  Expect('failure of a closed handle', VELKOLineFailure(Line, nil, 0), VELKO_ERR_HANDLE);
end;

{ Both directions of the name conversion, the refusals, and the library's own check. }
procedure Names;
const
  Bread: array[0..11] of Byte = ($43, $48, $4C, $45, $42, $20, $C5, $BB, $59, $54, $4E, $49);
  Windows1250: array[0..18] of Byte = ($A5, $B9, $C6, $E6, $CA, $EA, $A3, $B3, $D1, $F1, $D3,
    $F3, $8C, $9C, $8F, $9F, $AF, $BF, 0);
var
  Rec: TArticleRecord;
  I: Integer;
  Wide: UnicodeString;
  Narrow: UTF8String;
  Reason: array[0..255] of AnsiChar;
  Rc: Integer;
  Said: string;
begin
  FillChar(Rec, SizeOf(Rec), 0);
  { Every Polish letter, both cases, as UTF-8 in and out. }
  if not VelkoSetNameUTF8(Rec, Utf8([$C4, $84, $C4, $85, $C4, $86, $C4, $87, $C4, $98, $C4,
    $99, $C5, $81, $C5, $82, $C5, $83, $C5, $84, $C3, $93, $C3, $B3, $C5, $9A, $C5, $9B, $C5,
    $B9, $C5, $BA, $C5, $BB, $C5, $BC])) then
    Fault('the 18 Polish letters in UTF-8 were refused');
  for I := 0 to High(Rec.Name) do
    if Ord(Rec.Name[I]) <> Windows1250[I] then
    begin
      Fault('Polish letters to Windows-1250:' + NameBytes(Rec));
      Break;
    end;
  if not VelkoGetName(Rec, Wide) or (Wide <> #$0104#$0105#$0106#$0107#$0118#$0119#$0141#$0142
    + #$0143#$0144#$00D3#$00F3#$015A#$015B#$0179#$017A#$017B#$017C) then
    Fault('the 18 Polish letters did not come back as UTF-16');
  if not VelkoSetNameUTF8(Rec, Utf8(Bread)) or not VelkoGetNameUTF8(Rec, Narrow) or
    not SameBytes(Narrow, Utf8(Bread)) then
    Fault('CHLEB ZYTNI did not come back as the same UTF-8');

  { Refused, and the field left empty rather than half written. }
  if VelkoSetName(Rec, 'CAF'#$00C9) or (Rec.Name[0] <> #0) then
    Fault('E-acute was taken, or the refused name left bytes behind');
  if VelkoSetNameUTF8(Rec, Utf8([$4B, $C5])) or VelkoSetNameUTF8(Rec, Utf8([$C1, $81])) or
    VelkoSetNameUTF8(Rec, Utf8([$E2, $82, $AC])) then
    Fault('a cut, an overlong or a three-byte sequence was taken');
  if VelkoSetName(Rec, 'ABCDEFGHIJKLMNOPQRS') or not VelkoSetName(Rec, 'ABCDEFGHIJKLMNOPQR') then
    Fault('a name was not held to 18 characters');
  Rec.Name[18] := 'X';
  if VelkoGetName(Rec, Wide) then
    Fault('a name without its NUL was read');
  Rec.Name[18] := #0;
  Rec.Name[2] := AnsiChar($C9);
  if VelkoGetNameUTF8(Rec, Narrow) or (Narrow <> '') then
    Fault('byte 0xC9 was read as a character');

  { The device shows '(' as a Polish letter: the check says so. }
  VelkoSetCode(Rec, '777');
  VelkoSetName(Rec, 'KAWA (250G)');
  Rec.Flag := 0;
  Rec.Group := 0;
  FillChar(Reason, SizeOf(Reason), 0);
  Rc := VELKOCheckArticle(@Rec, @Reason[0], SizeOf(Reason));
  Said := string(PAnsiChar(@Reason[0]));
  Expect('check of KAWA (250G)', Rc, VELKO_ERR_FORMAT);
  if Pos('''(''', Said) = 0 then
    Fault('the check gave no reason naming ''('': "' + Said + '"');
  VelkoSetName(Rec, 'KAWA 250G');
  Expect('check of KAWA 250G', VELKOCheckArticle(@Rec, nil, 0), VELKO_OK);
end;

procedure VersionAndNumberedFunctions(const Version: string);
var
  Said: string;
begin
  Said := string(VELKOVersion);
  if (Said = '') or (Said <> Version) then
    Fault('VELKOVersion gave "' + Said + '", expected "' + Version + '"');
  if string(VELKOResultMessage(VELKO_ERR_PORT)) = '' then
    Fault('VELKOResultMessage gave nothing for VELKO_ERR_PORT');
  { The numbered functions refuse a missing callback and a port outside 1..2 before touching
    any line. }
  Expect('VELKOZeroPLUCounters on port 3', VELKOZeroPLUCounters(3, Baud, Device), VELKO_ERR_PORT);
  Expect('VELKOSendArticles without a supplier', VELKOSendArticles(3, Baud, 0, Device, nil, 0),
    VELKO_ERR_FORMAT);
  Expect('VELKOReceiveArticles without a consumer', VELKOReceiveArticles(3, Baud, Device, nil, 0),
    VELKO_ERR_FORMAT);
  Expect('VELKODeleteArticles without a supplier', VELKODeleteArticles(3, Baud, Device, nil, 0),
    VELKO_ERR_FORMAT);
end;

begin
  if ParamCount <> 2 then
  begin
    Writeln('usage: velko_test LINE VERSION');
    Halt(2);
  end;
  VersionAndNumberedFunctions(ParamStr(2));
  Names;
  RoundTrip(AnsiString(ParamStr(1)));
  if Faults > 0 then
  begin
    Writeln(Faults, ' fault(s)');
    Halt(1);
  end;
  Writeln('all held');
end.
