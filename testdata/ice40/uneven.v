// Memories whose depths are not multiples of 256 words, which the RAMs'
// 256 rows do not divide: a ROM of 1000 32-bit words ("prog") and a table
// of 128 16-bit words ("tbl", at addr[6:0]), read side by side:
// data = {tbl word, prog word}.
module top (input clk, input [9:0] addr, output reg [47:0] data);
  reg [31:0] prog [0:999];
  reg [15:0] tbl [0:127];
  initial $readmemh("prog.seed", prog);
  initial $readmemh("tbl.seed", tbl);
  always @(posedge clk) data <= {tbl[addr[6:0]], prog[addr]};
endmodule
