// A ROM of 32-bit words that loads a firmware executable through DPI-C at
// time 0, as a testbench's memory model would.
module rom #(parameter int DEPTH = 1024) (
  input  logic [$clog2(DEPTH)-1:0] addr,
  output logic [31:0]              data
);
  import "DPI-C" function int rw_load(input string path, input string options);
  import "DPI-C" function int unsigned rw_word(input int index);

  logic [31:0] mem [0:DEPTH-1];
  assign data = mem[addr];

  initial begin
    string fw;
    if (!$value$plusargs("fw=%s", fw)) $fatal(1, "give +fw=FILE");
    if (rw_load(fw, $sformatf("--format=vmem --width=32 --depth=%0d", DEPTH)) != 0) $fatal(1, "no firmware");
    for (int i = 0; i < DEPTH; i++) mem[i] = rw_word(i);
  end
endmodule
